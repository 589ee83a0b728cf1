// Everything a client of the remote-panel service library needs.
#pragma once

#include "comm_rms/connect_history.h"
#include "comm_rms/facade.h"
#include "comm_rms/operation_log.h"
#include "comm_rms/records.h"
