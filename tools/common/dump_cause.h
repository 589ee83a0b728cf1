// Why a dump did not get written, found after the fact by looking at the
// dump directory and file, so that the tools can name the cure.
#pragma once

#include <sys/types.h>

#include <string>

namespace comm_rms_tools {

// The effective user of process `pid` (this process's when unknown).
uid_t process_user(pid_t pid);

// Why a dump by a process of `user` failed: one sentence naming what is in
// the way and the cure.
std::string dump_failure_cause(uid_t user);

}  // namespace comm_rms_tools
