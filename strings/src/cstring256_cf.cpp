// CString256 from Core Foundation strings, converted to Mac Roman.
#include "vantrel/CFString.h"
#include "vantrel/CString256.h"

CString256& CString256::operator=(const __CFString* cf) {
    // A failed conversion leaves the empty string.
    CFStringGetCString(cf, text, sizeof text, kCFStringEncodingMacRoman);
    return *this;
}

CString256& CString256::operator+=(const __CFString* cf) {
    CString256 scratch;
    CFStringGetCString(cf, scratch.text, sizeof scratch.text, kCFStringEncodingMacRoman);
    return *this += scratch;
}
