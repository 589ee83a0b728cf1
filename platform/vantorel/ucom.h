// Debug console: named receivers of command texts.
#pragma once

#include "vantorel/platform_export.h"

namespace vantorel {

class UCOM_UsrCommandReceiver {
 public:
  virtual int ucom_usr_menu() { return 0; }
  virtual int ucom_usr_command(char* command) = 0;
  virtual ~UCOM_UsrCommandReceiver() {}
};

// Result of ucom_deliver when no receiver has the name.
constexpr int UCOM_NO_RECEIVER = -1000;

class VANTOREL_PLATFORM_API UCOM_UsrCommandManager {
 public:
  static UCOM_UsrCommandManager* ucom_instance();

  // Registers `receiver` under `name`. 0 on success.
  int ucom_add_usr_command(UCOM_UsrCommandReceiver* receiver, const char* name);
  // Withdraws every registration of `receiver`; returns once no delivery to
  // it is running. 0 when one was found.
  int ucom_remove_usr_command(UCOM_UsrCommandReceiver* receiver);
  // Delivers `command` to the receiver named `name` and returns its result,
  // or UCOM_NO_RECEIVER.
  int ucom_deliver(const char* name, const char* command);

 protected:
  UCOM_UsrCommandManager() = default;
  ~UCOM_UsrCommandManager() = default;
};

}  // namespace vantorel
