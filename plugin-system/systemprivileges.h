#pragma once

// The two privilege flags of GET /system/info. Kept free of Qt so that the
// Windows implementation can be compile-checked with a cross compiler alone.
//
// Windows (systemprivileges_win.cpp):
//   isAdministrator()            - the calling thread's token (else the process
//                                  token) is a member of BUILTIN\Administrators
//                                  (S-1-5-32-544), as CheckTokenMembership says.
//   isNonElevatedAdministrator() - the process token's elevation type is
//                                  TokenElevationTypeLimited, the filtered token
//                                  of an administrator running without elevation.
// POSIX (systemprivileges_unix.cpp), the same two questions:
//   isAdministrator()            - the process runs with effective user id 0.
//   isNonElevatedAdministrator() - it does not, but its user may become root by
//                                  elevation: the real user, or the process, is
//                                  in the group "sudo", "wheel" or "admin".
// A failing system call answers false.

bool isAdministrator();
bool isNonElevatedAdministrator();
