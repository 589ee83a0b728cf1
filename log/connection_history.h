// The connection history: one record per register request that reached the
// service, completed in place by the unregister requests that follow it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>

#include "comm_rms/connect_history.h"

namespace vantorel {

class connection_history {
 public:
  // Constant-initialised, so the process-wide history is usable by any
  // static constructor; the records are allocated on the first append.
  constexpr connection_history() noexcept {}
  // Frees the records of a history of one's own; the process-wide one is
  // never destroyed.
  ~connection_history();
  connection_history(const connection_history&) = delete;
  connection_history& operator=(const connection_history&) = delete;

  // Appends a record with the next ID (4294967295 is followed by 1).
  void append(const COMM_RMS_REGISTER_SERVER_INFO& info, RETCODE result);
  // Fills the newest record's unregister part; nothing when there is none.
  void complete(const COMM_RMS_UNREGISTER_SERVER_INFO& info, RETCODE result);
  // Writes the "Remote Panel Connect Information" section.
  void render(FILE* file) const;

  // Sets the ID counter: the next record gets the ID after `id`.
  void set_last_id(uint32_t id);

  // The history of the process, written by the exported functions and
  // rendered by the dump; never destroyed, so calls made during exit are
  // safe.
  static connection_history& process_wide();

  // Taken and given back around fork(), so that a child never inherits the
  // lock held by a thread it does not have.
  void hold() const { mtx_.lock(); }
  void let_go() const { mtx_.unlock(); }

 private:
  // Held for each append, each completion and a whole rendering.
  mutable std::mutex mtx_;
  std::deque<COMM_RMS_CONNECT_INFO_LOG>* records_ = nullptr;
  uint32_t last_id_ = 0;
};

}  // namespace vantorel
