// Visibility of the platform's symbols. The library is built with hidden
// visibility; every platform declaration it references must stay default so
// that the reference resolves against the platform's shared object.
#pragma once

#define VANTOREL_PLATFORM_API __attribute__((visibility("default")))
