/*
 * zxctest.h - the fixture shared by the behaviour suites: a private
 * temporary directory and working directory per test, the class program
 * fixture, standard error capture, and the check after every test that
 * nothing was left behind (memory-service blocks, descriptors, child
 * processes, temporary files, the host's current directory).
 */
#ifndef ZXCTEST_H
#define ZXCTEST_H

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "testsys.h"
#include "zelmref.h"
#include "zelmxcc.h"

/* Longest time a test waits for a program or a file to appear, ms. */
#define ZXC_WAIT_MS 20000UL

/* What the class program fixture reported about itself. */
struct ProbeReport {
    std::map<std::string, std::string> values; /* key=value lines */
    std::vector<std::string> args;            /* arguments after the program name */
    std::string inputs;                        /* content of the inputs file */
    bool fInputs = false;                      /* the inputs file could be read */

    std::string Get(const std::string &key) const
    {
        auto it = values.find(key);
        return it == values.end() ? std::string() : it->second;
    }
    ULONG Pid() const { return (ULONG)strtoul(Get("pid").c_str(), NULL, 10); }
    std::string LastArg() const { return args.empty() ? std::string() : args.back(); }
};

/* Outcome of one exported call, with what it printed. */
struct CallResult {
    ULONG ulRC = 0;
    std::vector<std::string> lines;
};

class ClassTest : public ::testing::Test {
protected:
    std::string sTmp;     /* where the library makes temporary names */
    std::string sWork;    /* a working directory for class programs */
    std::string sHostCwd; /* the host's current directory */
    std::vector<PVOID> vSessions; /* handles to end after the test */
    std::vector<std::string> vHostFiles; /* files the store wrote, the host's to delete */
    std::vector<SIMWSOBJ> vObjects;
    ULONG ulBlocks0 = 0;
    int nDescriptors0 = 0;
    int nChildren0 = 0;

    void SetUp() override;
    void TearDown() override;

    /* Program text that runs the probe, reporting to sReport, with more
     * options after it (e.g. "--forever", "--exit 3"). */
    std::string ProbeProgram(const std::string &sReport, const std::string &sOptions = "");
    std::string ReportPath(const char *pszName);
    /* A report name not used before in this test: a program of an earlier
     * round may still be ending while the next one reports. */
    std::string NewReportPath(void);
    int nReports = 0;
    bool ReadReport(const std::string &sReport, ProbeReport *pReport);
    bool WaitReport(const std::string &sReport, ProbeReport *pReport);

    /* Objects of the reference store, destroyed after the test. */
    SIMWSOBJ MakeObject(ULONG ulType, BOOL fInternal);
    SIMWSOBJ MakeBytesObject(const std::string &data);
    SIMWSOBJ MakeFileObject(const char *pszName);

    /* The exported calls, with standard error captured. A session that
     * starts is ended after the test unless the test ends it. */
    CallResult Start(SIMWSOBJ hObj, const char *pszProgram, const char *pszWorkingDir,
                     PVOID *phObjId, HWND hwnd = NULL, ULONG ulMsg = 0, ULONG ulClassId = 0);
    CallResult End(PVOID hObjId);
    CallResult Set(PVOID hObjId);

    /* Start the probe for an object whose bytes are pszName, reporting to
     * ReportPath(pszName), and wait for its report. */
    PVOID StartRunning(const char *pszName, ProbeReport *pReport, HWND hwnd = NULL,
                       ULONG ulMsg = 0, const char *pszOptions = "--forever");

    /* The file that the store wrote in the last store call: the host's. */
    std::string LastStoredFile(ULONG *pulClassId = NULL);
};

/* Lines as a gtest-friendly vector. */
typedef std::vector<std::string> Lines;

#endif /* ZXCTEST_H */
