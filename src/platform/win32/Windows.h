// <windows.h> for this program: its A/W macros for DeleteFile and
// MessageBox would otherwise rename our own members of the same names.
#pragma once
#include <windows.h>
#undef DeleteFile
#undef MessageBox
#undef CopyFile
#undef CreateDirectory
