/* testsys.cpp - the test support that is the same on every system. */
#include "testsys.h"

#include <stdio.h>

/* Poll the condition every ulStepMs until it holds, at most ulMs. */
template <class Condition>
static bool WaitUntil(Condition fCondition, unsigned long ulMs, unsigned long ulStepMs)
{
    unsigned long long ullEnd = TsNowMs() + ulMs;

    while (!fCondition()) {
        if (TsNowMs() >= ullEnd) {
            return false;
        }
        TsSleepMs(ulStepMs);
    }
    return true;
}

std::vector<std::string> TsLines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    size_t end;

    while (start < text.size()) {
        end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool TsReadFile(const std::string &path, std::string *pContent)
{
    FILE *pFile = fopen(path.c_str(), "rb");
    char buf[4096];
    size_t n;

    if (pFile == NULL) {
        return false;
    }
    pContent->clear();
    while ((n = fread(buf, 1, sizeof(buf), pFile)) > 0) {
        pContent->append(buf, n);
    }
    fclose(pFile);
    return true;
}

bool TsWriteFile(const std::string &path, const std::string &content)
{
    FILE *pFile = fopen(path.c_str(), "wb");
    bool fOk;

    if (pFile == NULL) {
        return false;
    }
    fOk = fwrite(content.data(), 1, content.size(), pFile) == content.size();
    return fclose(pFile) == 0 && fOk;
}

bool TsWaitForFile(const std::string &path, unsigned long ulMs)
{
    return WaitUntil([&]() { return TsFileExists(path); }, ulMs, 5);
}

bool TsWaitChildren(int nChildren, unsigned long ulMs)
{
    return WaitUntil([&]() { return TsCountChildren() == nChildren; }, ulMs, 10);
}

bool TsWaitDescriptors(int nDescriptors, unsigned long ulMs)
{
    return WaitUntil([&]() { return TsCountDescriptors() == nDescriptors; }, ulMs, 10);
}
