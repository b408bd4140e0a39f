// <windows.h> for this program: its A/W macros for DeleteFile, MessageBox,
// AddFontResource and the others would otherwise rename our own members of
// the same names.
#pragma once
#include <windows.h>
#undef DeleteFile
#undef MessageBox
#undef CopyFile
#undef CreateDirectory
#undef AddFontResource
