// Marks the library's exported interface; everything else is hidden.
#pragma once

#define COMM_RMS_API __attribute__((visibility("default")))
