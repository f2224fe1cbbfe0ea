/* probepath.cpp - the class program fixture next to the test program. */
#include "probepath.h"

#include "wintest.h"

const char *ZxcProbePath(void)
{
    static std::string sPath = WtProgram("zxcprobe");

    return sPath.c_str();
}
