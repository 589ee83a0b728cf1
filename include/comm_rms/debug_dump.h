// The library's debug console command and the file it writes.
#pragma once

namespace vantorel {
namespace debug_dump {

// The console receiver the log store registers under.
constexpr char receiver_name[] = "commRMS";
// The one command it answers: dump the history and the stored trace lines.
constexpr char command[] = "UCGETMEMINFO";
// Where the dump goes. The directory is never created by the library.
// (Macros only so that the whole path is joined at compile time.)
#define COMM_RMS_DUMP_DIRECTORY "/tmp/debug_file/"
#define COMM_RMS_DUMP_FILE_NAME "comm_rms_client_debug.log"
constexpr char directory[] = COMM_RMS_DUMP_DIRECTORY;
constexpr char file_name[] = COMM_RMS_DUMP_FILE_NAME;
constexpr char path[] = COMM_RMS_DUMP_DIRECTORY COMM_RMS_DUMP_FILE_NAME;
// The dump's operation log section never takes the file past this size + 1.
constexpr long size_limit = 102399;

}  // namespace debug_dump
}  // namespace vantorel
