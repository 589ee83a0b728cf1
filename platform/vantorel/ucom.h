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

class VANTOREL_PLATFORM_API UCOM_UsrCommandManager {
 public:
  static UCOM_UsrCommandManager* ucom_instance();

  // Registers `receiver` under `name`. 0 on success.
  int ucom_add_usr_command(UCOM_UsrCommandReceiver* receiver, const char* name);

 protected:
  UCOM_UsrCommandManager() = default;
  ~UCOM_UsrCommandManager() = default;
};

}  // namespace vantorel
