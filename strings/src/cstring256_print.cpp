// Printing a CString256 into an open file through the File Manager.
#include <cstring>

#include "vantrel/CString256.h"
#include "vantrel/Files.h"

short CString256::print(short refNum) {
    // Room for 255 characters, the newline and the terminator.
    char buffer[257];
    buffer[0] = '\0';
    print(buffer);
    SInt32 count = static_cast<SInt32>(std::strlen(buffer));
    return FSWrite(refNum, &count, buffer);
}
