// The host platform's parts whose locks are held while fork() copies the
// process. Only fork_guard.cpp calls these, in its one order; each release
// runs in the parent (child false) or in the child (true), where it also
// drops what the child must not inherit.
#pragma once

namespace vantorel {
namespace host {

void hold_process_lock() noexcept;  // OSW_Thread_Guard's
void release_process_lock(bool child) noexcept;
void hold_channel() noexcept;  // the channel's registry and pools
void release_channel(bool child) noexcept;
void hold_servers() noexcept;  // the served connections
void release_servers(bool child) noexcept;
void hold_console() noexcept;  // the console socket's state
void release_console(bool child) noexcept;

}  // namespace host
}  // namespace vantorel
