// Debug console: receivers kept by name, commands delivered in-process.
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "vantorel/ucom.h"

namespace vantorel {

namespace {

class host_console final : public UCOM_UsrCommandManager {
 public:
  int add(UCOM_UsrCommandReceiver* receiver, const char* name) {
    std::lock_guard<std::mutex> lock(mutex_);
    receivers_.emplace_back(name, receiver);
    return 0;
  }

  int remove(UCOM_UsrCommandReceiver* receiver) {
    std::lock_guard<std::mutex> lock(mutex_);
    int found = -1;
    for (auto it = receivers_.begin(); it != receivers_.end();) {
      if (it->second == receiver) {
        it = receivers_.erase(it);
        found = 0;
      } else {
        ++it;
      }
    }
    return found;
  }

  // Held across the delivery so that a receiver cannot be withdrawn (and
  // freed) while its command runs.
  int deliver(const char* name, const char* command) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& entry : receivers_) {
      if (entry.first == name) {
        std::string text(command);
        return entry.second->ucom_usr_command(&text[0]);
      }
    }
    return UCOM_NO_RECEIVER;
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<std::string, UCOM_UsrCommandReceiver*>> receivers_;
};

host_console& console() {
  static host_console* instance = new host_console;  // never freed: receivers outlive statics
  return *instance;
}

}  // namespace

UCOM_UsrCommandManager* UCOM_UsrCommandManager::ucom_instance() { return &console(); }

int UCOM_UsrCommandManager::ucom_add_usr_command(UCOM_UsrCommandReceiver* receiver,
                                                 const char* name) {
  return static_cast<host_console*>(this)->add(receiver, name);
}

int UCOM_UsrCommandManager::ucom_remove_usr_command(UCOM_UsrCommandReceiver* receiver) {
  return static_cast<host_console*>(this)->remove(receiver);
}

int UCOM_UsrCommandManager::ucom_deliver(const char* name, const char* command) {
  return static_cast<host_console*>(this)->deliver(name, command);
}

}  // namespace vantorel
