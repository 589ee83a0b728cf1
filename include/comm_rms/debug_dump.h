// The library's debug console command and the file it writes.
#pragma once

namespace vantorel {
namespace debug_dump {

// The console receiver the log store registers under.
constexpr char receiver_name[] = "commRMS";
// The one command it answers: dump the history and the stored trace lines.
constexpr char command[] = "UCGETMEMINFO";
// Where the dump goes. The directory is never created by the library.
constexpr char directory[] = "/tmp/debug_file/";
constexpr char file_name[] = "comm_rms_client_debug.log";
// The dump's operation log section never takes the file past this size + 1.
constexpr long size_limit = 102399;

}  // namespace debug_dump
}  // namespace vantorel
