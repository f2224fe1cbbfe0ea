/* zxctest.cpp - the fixture shared by the behaviour suites. */
#include "zxctest.h"

#include <algorithm>
#include <stdlib.h>

void ClassTest::SetUp()
{
    sHostCwd = TsGetCwd();
    sTmp = TsMakeTempDir("zxctmp");
    sWork = TsMakeTempDir("zxcwork");
    TsSetTempDir(sTmp.c_str());
    ulBlocks0 = ZelmEnvBlocksInUse();
    nDescriptors0 = TsCountDescriptors();
    nChildren0 = TsCountChildren();
}

void ClassTest::TearDown()
{
    std::vector<std::string> left;

    for (PVOID h : vSessions) {
        SimOpsEndClass(h);
    }
    vSessions.clear();
    TsChangeDir(sHostCwd);
    for (const std::string &s : vHostFiles) {
        TsRemoveTree(s);
    }
    for (SIMWSOBJ h : vObjects) {
        ZelmWsDestroyObj(h);
    }
    EXPECT_TRUE(TsWaitChildren(nChildren0, ZXC_WAIT_MS))
        << "child processes left: " << TsCountChildren() - nChildren0;
    EXPECT_TRUE(TsWaitDescriptors(nDescriptors0, ZXC_WAIT_MS))
        << "descriptors left: " << TsCountDescriptors() - nDescriptors0;
    EXPECT_EQ(ZelmEnvBlocksInUse(), ulBlocks0) << "memory-service blocks left";
    left = TsListDir(sTmp);
    EXPECT_TRUE(left.empty()) << "temporary files left, first: " << (left.empty() ? "" : left[0]);
    TsSetTempDir(NULL);
    TsRemoveTree(sTmp);
    TsRemoveTree(sWork);
}

std::string ClassTest::ReportPath(const char *pszName)
{
    return TsJoin(sWork, pszName);
}

std::string ClassTest::NewReportPath(void)
{
    return ReportPath(("report" + std::to_string(++nReports)).c_str());
}

std::string ClassTest::ProbeProgram(const std::string &sReport, const std::string &sOptions)
{
    std::string s = std::string("\"") + ZXCPROBE_PATH + "\" --record \"" + sReport + "\"";
    if (!sOptions.empty()) {
        s += " " + sOptions;
    }
    return s;
}

bool ClassTest::ReadReport(const std::string &sReport, ProbeReport *pReport)
{
    std::string text;
    size_t eq;

    if (!TsReadFile(sReport, &text)) {
        return false;
    }
    for (const std::string &line : TsLines(text)) {
        eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        std::string key = line.substr(0, eq);
        std::string value = line.substr(eq + 1);
        pReport->values[key] = value;
        if (key.compare(0, 3, "arg") == 0 && key != "argc") {
            pReport->args.push_back(value);
        }
    }
    pReport->fInputs = TsReadFile(sReport + ".inputs", &pReport->inputs);
    return true;
}

bool ClassTest::WaitReport(const std::string &sReport, ProbeReport *pReport)
{
    return TsWaitForFile(sReport, ZXC_WAIT_MS) && ReadReport(sReport, pReport);
}

SIMWSOBJ ClassTest::MakeObject(ULONG ulType, BOOL fInternal)
{
    SIMWSOBJ h = ZelmWsCreateObj(ulType, fInternal);
    vObjects.push_back(h);
    return h;
}

SIMWSOBJ ClassTest::MakeBytesObject(const std::string &data)
{
    SIMWSOBJ h = MakeObject(0, FALSE);
    ZelmWsSetData(h, data.data(), (ULONG)data.size());
    return h;
}

SIMWSOBJ ClassTest::MakeFileObject(const char *pszName)
{
    SIMWSOBJ h = MakeObject(0, FALSE);
    ZelmWsSetDataFile(h, (PSZ)pszName);
    return h;
}

/* Run one exported call with standard error captured. */
template <class Call> static CallResult Captured(Call call)
{
    CallResult r;

    TsCaptureStderrBegin();
    r.ulRC = call();
    r.lines = TsLines(TsCaptureStderrEnd());
    return r;
}

CallResult ClassTest::Start(SIMWSOBJ hObj, const char *pszProgram, const char *pszWorkingDir,
                            PVOID *phObjId, HWND hwnd, ULONG ulMsg, ULONG ulClassId)
{
    PVOID hBefore = phObjId != NULL ? *phObjId : NULL;
    CallResult r = Captured([&]() {
        return SimOpsStartClass(hwnd, ulMsg, hObj, ulClassId, (PSZ)pszProgram, (PSZ)pszWorkingDir,
                                NULL, NULL, phObjId);
    });

    if (phObjId != NULL && *phObjId != NULL && *phObjId != hBefore) {
        vSessions.push_back(*phObjId);
    }
    return r;
}

CallResult ClassTest::End(PVOID hObjId)
{
    CallResult r = Captured([&]() { return SimOpsEndClass(hObjId); });

    vSessions.erase(std::remove(vSessions.begin(), vSessions.end(), hObjId), vSessions.end());
    return r;
}

CallResult ClassTest::Set(PVOID hObjId)
{
    return Captured([&]() { return SimOpsSetClass(hObjId); });
}

PVOID ClassTest::StartRunning(const char *pszName, ProbeReport *pReport, HWND hwnd, ULONG ulMsg,
                              const char *pszOptions)
{
    SIMWSOBJ hObj = MakeBytesObject(pszName);
    std::string sReport = ReportPath(pszName);
    PVOID hSession = NULL;
    CallResult r = Start(hObj, ProbeProgram(sReport, pszOptions).c_str(), NULL, &hSession, hwnd,
                         ulMsg);

    EXPECT_EQ(r.ulRC, 0u);
    EXPECT_EQ(r.lines, Lines());
    EXPECT_TRUE(WaitReport(sReport, pReport));
    return hSession;
}

std::string ClassTest::LastStoredFile(ULONG *pulClassId)
{
    CHAR pcName[512] = "";
    ULONG ulClassId = 0;

    ZelmWsLastStore(&ulClassId, pcName, sizeof(pcName));
    if (pulClassId != NULL) {
        *pulClassId = ulClassId;
    }
    if (pcName[0] != '\0') {
        vHostFiles.push_back(pcName);
    }
    return pcName;
}
