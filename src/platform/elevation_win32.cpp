// Win32 backend of the elevation query: the process token's TokenElevation.
#include <windows.h>

#include "platform/elevation.h"
#include "platform/win32_handle.h"

namespace dh {

bool native_process_is_elevated() {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
  ScopedHandle token(raw);
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  if (!GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size)) return false;
  return elevation.TokenIsElevated != 0;
}

}  // namespace dh
