#include "win32/code_page_win32.h"

#include <windows.h>

#include "core/check/text.h"

namespace sfvcheck {
namespace {

bool SystemLeadByte(unsigned char byte) { return IsDBCSLeadByte(byte) != FALSE; }

}  // namespace

void UseSystemCodePage() { SetLeadByteTest(SystemLeadByte); }

}  // namespace sfvcheck
