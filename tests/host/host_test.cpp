/*
 * host_test.cpp - the host program zelmxcc-host, run as users run it: a
 * real process with a script or piped commands, real class programs
 * (zelmxcc-showfile, zxcprobe), real files, and the X display that
 * scripts/with-xvfb.sh gives the suite (or none, or a private Xvfb).
 *
 * Every run gets a temporary directory of its own as TMPDIR, so that the
 * inputs files it leaves, or not, can be counted.
 */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "testsys.h"

extern char **environ;

namespace {

const char *const kHost = ZELMXCC_HOST_PATH;
const char *const kShowfile = ZELMXCC_SHOWFILE_PATH;
const char *const kProbe = ZXCPROBE_PATH;
const char *const kDemo = ZELMXCC_DEMO_SCRIPT;

/* An environment change for the host: a value, or null to unset. */
typedef std::vector<std::pair<std::string, const char *>> ENVCHANGES;

/* A running host with its three standard streams on pipes. */
typedef struct _HOSTPROC {
    pid_t pid;
    int fdIn;
    int fdOut;
    int fdErr;
    std::string out;
    std::string err;
    int nStatus; /* exit status, 128+N for signal N, -1 while running */
} HOSTPROC;

void HpStart(HOSTPROC *pProc, const std::vector<std::string> &args, const ENVCHANGES &env)
{
    int afdIn[2];
    int afdOut[2];
    int afdErr[2];
    std::vector<std::string> envText;
    std::vector<char *> envp;
    std::vector<char *> argv;

    for (char **pp = environ; *pp != NULL; pp++) {
        std::string entry(*pp);
        bool fChanged = false;
        for (const auto &change : env)
            fChanged = fChanged || entry.compare(0, change.first.size() + 1, change.first + "=") == 0;
        if (!fChanged)
            envText.push_back(entry);
    }
    for (const auto &change : env) {
        if (change.second != NULL)
            envText.push_back(change.first + "=" + change.second);
    }
    for (auto &entry : envText)
        envp.push_back(&entry[0]);
    envp.push_back(NULL);
    argv.push_back(const_cast<char *>(kHost));
    for (const auto &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(NULL);

    ASSERT_EQ(0, pipe2(afdIn, O_CLOEXEC));
    ASSERT_EQ(0, pipe2(afdOut, O_CLOEXEC));
    ASSERT_EQ(0, pipe2(afdErr, O_CLOEXEC));
    pProc->pid = fork();
    ASSERT_GE(pProc->pid, 0);
    if (pProc->pid == 0) {
        dup2(afdIn[0], 0);
        dup2(afdOut[1], 1);
        dup2(afdErr[1], 2);
        execve(kHost, argv.data(), envp.data());
        _exit(126);
    }
    close(afdIn[0]);
    close(afdOut[1]);
    close(afdErr[1]);
    pProc->fdIn = afdIn[1];
    pProc->fdOut = afdOut[0];
    pProc->fdErr = afdErr[0];
    pProc->nStatus = -1;
    signal(SIGPIPE, SIG_IGN);
}

void HpWrite(HOSTPROC *pProc, const std::string &text)
{
    ASSERT_EQ((ssize_t)text.size(), write(pProc->fdIn, text.data(), text.size()));
}

void HpCloseInput(HOSTPROC *pProc)
{
    if (pProc->fdIn >= 0)
        close(pProc->fdIn);
    pProc->fdIn = -1;
}

/* Read what the host has written, for at most ulMs; true when both streams
 * have ended. */
bool HpPump(HOSTPROC *pProc, unsigned long ulMs)
{
    struct pollfd apfd[2];
    char ac[4096];
    int n = 0;

    if (pProc->fdOut >= 0)
        apfd[n++] = {pProc->fdOut, POLLIN, 0};
    if (pProc->fdErr >= 0)
        apfd[n++] = {pProc->fdErr, POLLIN, 0};
    if (n == 0)
        return true;
    if (poll(apfd, (nfds_t)n, (int)ulMs) <= 0)
        return false;
    for (int i = 0; i < n; i++) {
        if (apfd[i].revents == 0)
            continue;
        ssize_t cb = read(apfd[i].fd, ac, sizeof(ac));
        bool fOut = apfd[i].fd == pProc->fdOut;
        if (cb > 0) {
            (fOut ? pProc->out : pProc->err).append(ac, (size_t)cb);
        } else {
            close(apfd[i].fd);
            (fOut ? pProc->fdOut : pProc->fdErr) = -1;
        }
    }
    return pProc->fdOut < 0 && pProc->fdErr < 0;
}

/* Read until the standard output holds the text, at most ulMs. */
bool HpReadUntil(HOSTPROC *pProc, const std::string &text, unsigned long ulMs)
{
    unsigned long long ullEnd = TsNowMs() + ulMs;

    while (pProc->out.find(text) == std::string::npos) {
        if (TsNowMs() >= ullEnd || HpPump(pProc, 50))
            return pProc->out.find(text) != std::string::npos;
    }
    return true;
}

/* Close its input, read until it has ended (killing it after ulMs) and
 * collect it. */
void HpFinish(HOSTPROC *pProc, unsigned long ulMs = 90000)
{
    unsigned long long ullEnd = TsNowMs() + ulMs;
    int nWait = 0;

    HpCloseInput(pProc);
    while (!HpPump(pProc, 50)) {
        if (TsNowMs() >= ullEnd) {
            ADD_FAILURE() << "the host did not end in time; output:\n" << pProc->out;
            kill(pProc->pid, SIGKILL);
            ullEnd = TsNowMs() + 5000;
        }
    }
    while (waitpid(pProc->pid, &nWait, 0) < 0 && errno == EINTR) {
    }
    pProc->nStatus = WIFEXITED(nWait) ? WEXITSTATUS(nWait) : 128 + WTERMSIG(nWait);
}

/* Run the host to its end: with the arguments, the input, the changes. */
HOSTPROC RunHost(const std::vector<std::string> &args, const std::string &input,
                 const ENVCHANGES &env)
{
    HOSTPROC proc;

    HpStart(&proc, args, env);
    if (!input.empty())
        HpWrite(&proc, input);
    HpFinish(&proc);
    return proc;
}

std::vector<std::string> Lines(const std::string &text)
{
    return TsLines(text);
}

/* The lines that hold the text. */
std::vector<std::string> Grep(const std::string &text, const std::string &needle)
{
    std::vector<std::string> found;
    for (const auto &line : Lines(text)) {
        if (line.find(needle) != std::string::npos)
            found.push_back(line);
    }
    return found;
}

/* Where the first line holding the text is, or npos. */
size_t Where(const std::string &text, const std::string &needle)
{
    return text.find(needle);
}

/* What the start line of a session tells: its pid (0 when not shown) and
 * its inputs file. */
bool StartedSession(const std::string &out, unsigned long ulNumber, unsigned long *pulPid,
                    std::string *pInputs)
{
    const std::string prefix = "SimOpsStartClass = 0: session " + std::to_string(ulNumber);
    const std::string pid = ", pid ";
    const std::string file = ", inputs file ";

    for (const auto &line : Lines(out)) {
        if (line.compare(0, prefix.size(), prefix) != 0)
            continue;
        std::string rest = line.substr(prefix.size());
        *pulPid = 0;
        if (rest.compare(0, pid.size(), pid) == 0) {
            size_t cchDigits = 0;
            *pulPid = std::stoul(rest.substr(pid.size()), &cchDigits);
            rest = rest.substr(pid.size() + cchDigits);
        }
        if (rest.compare(0, file.size(), file) != 0)
            continue;
        *pInputs = rest.substr(file.size());
        return true;
    }
    return false;
}

/* The private Xvfb the host named: its display number and pid. */
bool PrivateXvfb(const std::string &out, std::string *pDisplay, unsigned long *pulPid)
{
    const std::string prefix = "display :";
    const std::string middle = " (private Xvfb, pid ";

    for (const auto &line : Lines(out)) {
        size_t ofMiddle = line.find(middle);
        if (line.compare(0, prefix.size(), prefix) != 0 || ofMiddle == std::string::npos ||
            line.back() != ')')
            continue;
        *pDisplay = line.substr(prefix.size(), ofMiddle - prefix.size());
        *pulPid = std::stoul(line.substr(ofMiddle + middle.size()));
        return true;
    }
    return false;
}

/* Inputs files the library named in the directory. */
std::vector<std::string> LeftOver(const std::string &dir)
{
    std::vector<std::string> found;
    for (const auto &name : TsListDir(dir)) {
        if (name.compare(0, 8, "zelmxcc-") == 0)
            found.push_back(name);
    }
    return found;
}

std::string Dump(const HOSTPROC &proc)
{
    return "exit " + std::to_string(proc.nStatus) + "\n--- stdout\n" + proc.out +
           "--- stderr\n" + proc.err;
}

/* A directory with a host's TMPDIR and scripts in it. */
class HostTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = TsMakeTempDir("zelmxcc-host-test");
        tmp = TsJoin(dir, "tmp");
        ASSERT_TRUE(TsMakeDir(tmp));
        env = {{"TMPDIR", tmp.c_str()}};
    }
    void TearDown() override
    {
        TsRemoveTree(dir);
    }
    /* A script file with the lines. */
    std::string Script(const std::string &name, const std::string &text)
    {
        std::string path = TsJoin(dir, name);
        EXPECT_TRUE(TsWriteFile(path, text));
        return path;
    }

    std::string dir;
    std::string tmp;
    ENVCHANGES env;
};

std::string Showfile(const char *pszSeconds)
{
    return std::string(kShowfile) + " --seconds " + pszSeconds;
}

/* ---- A whole session, for each way an object gets its inputs file --------- */

typedef struct _KINDCASE {
    const char *pszName;
    const char *pszObject;   /* the object line; %F stands for a data file */
    const char *pszContent;  /* what the program must see */
    const char *pszFate;     /* what the end call reports */
    bool fInputsStays;       /* the inputs file is still there after the end */
} KINDCASE;

void PrintTo(const KINDCASE &c, std::ostream *pos)
{
    *pos << c.pszName;
}

const KINDCASE kKindCases[] = {
    {"bytes", "object o bytes \"line one\\nline two\\n\"", "line one\nline two\n", " gone", false},
    {"internal", "object o internal \"stored content\\n\"", "stored content\n",
     " left by the library (the store wrote it), removed by the host", false},
    {"datafile", "object o file %F", "the data file\n", " kept (the object's data file)", true},
};

class HostKindTest : public HostTest, public ::testing::WithParamInterface<KINDCASE> {};

TEST_P(HostKindTest, ScriptDrivesAWholeSession)
{
    const KINDCASE &kc = GetParam();
    std::string dataFile = TsJoin(dir, "data file.txt");
    std::string object = kc.pszObject;
    size_t ofF = object.find("%F");
    unsigned long ulPid = 0;
    std::string inputs;

    ASSERT_TRUE(TsWriteFile(dataFile, "the data file\n"));
    if (ofF != std::string::npos)
        object.replace(ofF, 2, "\"" + dataFile + "\"");
    std::string script = Script("session.zxc", object + "\n" +
                                                   "start o " + Showfile("0.3") + "\n"
                                                   "wait 1 30\n"
                                                   "list\n"
                                                   "end 1\n"
                                                   "list\n"
                                                   "quit\n");
    HOSTPROC proc = RunHost({script}, "", env);

    ASSERT_EQ(0, proc.nStatus) << Dump(proc);
    ASSERT_TRUE(StartedSession(proc.out, 1, &ulPid, &inputs)) << Dump(proc);
    EXPECT_NE(0UL, ulPid) << Dump(proc);
    if (ofF != std::string::npos) {
        EXPECT_EQ(dataFile, inputs);
    } else {
        EXPECT_EQ(0u, inputs.find(tmp + "/zelmxcc-")) << inputs;
    }
    /* The program saw the content, under the name the host reports. */
    EXPECT_NE(std::string::npos,
              Where(proc.out, "zelmxcc-showfile: inputs file " + inputs + ", " +
                                  std::to_string(strlen(kc.pszContent)) + " bytes:\n" +
                                  kc.pszContent))
        << Dump(proc);
    /* The notification came, then the wait ended, then the list said so. */
    size_t ofNotify = Where(proc.out, "notification: message 0x8001: session 1 has ended\n");
    size_t ofWaited = Where(proc.out, "\nsession 1: ended\n");
    size_t ofListed = Where(proc.out, "\nsession 1: ended, pid " + std::to_string(ulPid) +
                                          ", object o, program \"" + Showfile("0.3") +
                                          "\", inputs file " + inputs + "\n");
    ASSERT_NE(std::string::npos, ofNotify) << Dump(proc);
    ASSERT_NE(std::string::npos, ofWaited) << Dump(proc);
    ASSERT_NE(std::string::npos, ofListed) << Dump(proc);
    EXPECT_LT(ofNotify, ofWaited);
    EXPECT_LT(ofWaited, ofListed);
    EXPECT_EQ(1u, Grep(proc.out, "notification:").size()) << Dump(proc);
    /* The end call, and what became of the inputs file. */
    EXPECT_EQ(1u, Grep(proc.out, "SimOpsEndClass = 0: session 1; inputs file " + inputs +
                                     kc.pszFate)
                      .size())
        << Dump(proc);
    EXPECT_NE(std::string::npos, Where(proc.out, "> list\nno sessions\n")) << Dump(proc);
    EXPECT_EQ(kc.fInputsStays, TsFileExists(inputs));
    EXPECT_TRUE(LeftOver(tmp).empty());
    EXPECT_FALSE(TsProcessRunning(ulPid));
    EXPECT_EQ("", proc.err) << Dump(proc);
}

INSTANTIATE_TEST_SUITE_P(Kinds, HostKindTest, ::testing::ValuesIn(kKindCases),
                         [](const ::testing::TestParamInfo<KINDCASE> &info) {
                             return std::string(info.param.pszName);
                         });

/* ---- The program text goes to the library as written -------------------- */

typedef struct _ARGCASE {
    const char *pszName;
    const char *pszTail;        /* after "start o PROBE --record R" */
    std::vector<std::string> args; /* what the probe gets after --record R, inputs excluded */
    const char *pszDir;         /* its working directory under the test's, or null */
} ARGCASE;

void PrintTo(const ARGCASE &c, std::ostream *pos)
{
    *pos << c.pszName;
}

const ARGCASE kArgCases[] = {
    {"plain", "a b", {"a", "b"}, NULL},
    {"quoted", "\"two words\" a\\\"b", {"two words", "a\"b"}, NULL},
    {"directory", "x in \"work dir\"", {"x"}, "work dir"},
    {"quotedin", "\"in\" x", {"in", "x"}, NULL},
};

class HostArgTest : public HostTest, public ::testing::WithParamInterface<ARGCASE> {};

TEST_P(HostArgTest, ProgramTextAndDirectoryReachTheProgram)
{
    const ARGCASE &ac = GetParam();
    std::string record = TsJoin(dir, "record");
    std::string report;
    std::string expected;
    unsigned long ulPid = 0;
    std::string inputs;

    ASSERT_TRUE(TsMakeDir(TsJoin(dir, "work dir")));
    /* A relative working directory is the host's own business: run it in
     * the test's directory. */
    std::string tail = ac.pszTail;
    if (ac.pszDir != NULL)
        tail.replace(tail.find("\"work dir\""), 10, "\"" + TsJoin(dir, ac.pszDir) + "\"");
    std::string script = Script("args.zxc", "object o bytes probe\n"
                                            "start o " + std::string(kProbe) + " --record " +
                                                record + " " + tail + "\n"
                                            "wait 1 30\n");
    HOSTPROC proc = RunHost({script}, "", env);

    ASSERT_EQ(0, proc.nStatus) << Dump(proc);
    ASSERT_TRUE(StartedSession(proc.out, 1, &ulPid, &inputs)) << Dump(proc);
    ASSERT_TRUE(TsReadFile(record, &report)) << Dump(proc);
    expected = "argc=" + std::to_string(ac.args.size() + 4) + "\narg1=--record\narg2=" + record + "\n";
    for (size_t i = 0; i < ac.args.size(); i++)
        expected += "arg" + std::to_string(i + 3) + "=" + ac.args[i] + "\n";
    expected += "arg" + std::to_string(ac.args.size() + 3) + "=" + inputs + "\n";
    EXPECT_EQ(0u, report.find(expected)) << report;
    EXPECT_NE(std::string::npos,
              report.find("\ncwd=" + (ac.pszDir != NULL ? TsJoin(dir, ac.pszDir)
                                                         : TsGetCwd()) + "\n"))
        << report;
}

INSTANTIATE_TEST_SUITE_P(Texts, HostArgTest, ::testing::ValuesIn(kArgCases),
                         [](const ::testing::TestParamInfo<ARGCASE> &info) {
                             return std::string(info.param.pszName);
                         });

/* ---- A failing call stops a script at its line --------------------------- */

typedef struct _FAILCASE {
    const char *pszName;
    const char *pszLine;     /* line 3; %S stands for the class program */
    const char *pszOut;      /* the result on standard output */
    const char *pszLibrary;  /* the library's own line on standard error, or null */
    const char *pszHost;     /* the host's line, after "zelmxcc-host: SCRIPT:3: " */
} FAILCASE;

void PrintTo(const FAILCASE &c, std::ostream *pos)
{
    *pos << c.pszName;
}

const FAILCASE kFailCases[] = {
    {"noprogram", "start o /nonexistent/program", "SimOpsStartClass = 7038",
     "Error in start session: rc=2", "the call failed: SimOpsStartClass = 7038"},
    {"nodirectory", "start o %S in /nonexistent/directory", "SimOpsStartClass = 7027",
     "Error in change directory", "the call failed: SimOpsStartClass = 7027"},
    {"waittimeout", "wait 1 0.3", NULL, NULL, "wait: session 1 still running after 0.3 s"},
};

class HostFailTest : public HostTest, public ::testing::WithParamInterface<FAILCASE> {};

TEST_P(HostFailTest, StopsWithTheLineAndEndsWhatItStarted)
{
    const FAILCASE &fc = GetParam();
    std::string line = fc.pszLine;
    size_t ofS = line.find("%S");
    unsigned long ulPid = 0;
    std::string inputs;

    if (ofS != std::string::npos)
        line.replace(ofS, 2, Showfile("0.2"));
    std::string script = Script("fail.zxc", "object o bytes abc\n"
                                            "start o " + Showfile("60") + "\n" +
                                            line + "\n"
                                            "echo after\n");
    HOSTPROC proc = RunHost({script}, "", env);

    EXPECT_EQ(1, proc.nStatus) << Dump(proc);
    if (fc.pszOut != NULL) {
        EXPECT_EQ(1u, Grep(proc.out, fc.pszOut).size()) << Dump(proc);
    }
    std::vector<std::string> errLines = Lines(proc.err);
    std::vector<std::string> expected;
    if (fc.pszLibrary != NULL)
        expected.push_back(fc.pszLibrary);
    expected.push_back("zelmxcc-host: " + script + ":3: " + fc.pszHost);
    EXPECT_EQ(expected, errLines) << Dump(proc);
    EXPECT_EQ(std::string::npos, Where(proc.out, "> echo after")) << Dump(proc);
    /* On the way out the host ended the session it had started. */
    ASSERT_TRUE(StartedSession(proc.out, 1, &ulPid, &inputs)) << Dump(proc);
    EXPECT_EQ(1u, Grep(proc.out, "SimOpsEndClass = 0: session 1; inputs file " + inputs +
                                     " gone")
                      .size())
        << Dump(proc);
    EXPECT_TRUE(TsWaitProcessGone(ulPid, 10000));
    EXPECT_TRUE(LeftOver(tmp).empty());
}

INSTANTIATE_TEST_SUITE_P(Calls, HostFailTest, ::testing::ValuesIn(kFailCases),
                         [](const ::testing::TestParamInfo<FAILCASE> &info) {
                             return std::string(info.param.pszName);
                         });

/* ---- Wrong input: one line, nothing changed ------------------------------- */

typedef struct _WRONGCASE {
    const char *pszLine;
    const char *pszError; /* the error, after the host's name and the line */
} WRONGCASE;

const WRONGCASE kWrongCases[] = {
    {"frobnicate", "unknown command \"frobnicate\" (try help)"},
    {"object", "object: missing name (object NAME file|bytes|internal ...)"},
    {"object x", "object x: missing kind (file, bytes or internal)"},
    {"object x wibble y", "object x: unknown kind \"wibble\" (file, bytes or internal)"},
    {"object x bytes", "object x bytes: missing text"},
    {"object x file", "object x file: missing file name"},
    {"object x file a b", "object x file: one file name only (quote blanks)"},
    {"object x file \"\"", "object x file: empty file name"},
    {"object o internal again", "object o exists already"},
    {"start", "start: missing object (start OBJECT PROGRAM... [in DIR])"},
    {"start nosuch cat", "start: unknown object \"nosuch\""},
    {"start o", "start o: missing program"},
    {"start o in /tmp", "start o: missing program"},
    {"start o cat in", "start o: \"in\" needs a directory"},
    {"start o cat in \"\"", "start o: empty directory name"},
    {"front", "front: missing session number"},
    {"front 7", "front: unknown session 7"},
    {"end x", "end: \"x\" is not a session number"},
    {"end 0", "end: \"0\" is not a session number"},
    {"end 1 2", "end: too many arguments"},
    {"wait 1 soon", "wait: \"soon\" is not a number of seconds"},
    {"wait 1 -3", "wait: \"-3\" is not a number of seconds"},
    {"wait 1 2 3", "wait: too many arguments"},
    {"sleep", "sleep: one number of seconds expected"},
    {"list all", "list: no arguments expected"},
    {"quit now", "quit: no arguments expected"},
    {"echo \"unterminated", "unterminated quote"},
};

/* In a script, the wrong line stops the run: status 2, one line that names
 * the script, the line and what is wrong; what came before is ended. */
TEST_F(HostTest, WrongLineStopsAScriptWithOneLine)
{
    for (const WRONGCASE &wc : kWrongCases) {
        SCOPED_TRACE(wc.pszLine);
        std::string script = Script("wrong.zxc", "object o bytes abc\n"
                                                 "start o " + Showfile("60") + "\n" +
                                                 wc.pszLine + "\n"
                                                 "echo after\n");
        HOSTPROC proc = RunHost({script}, "", env);

        EXPECT_EQ(2, proc.nStatus) << Dump(proc);
        EXPECT_EQ(std::vector<std::string>{"zelmxcc-host: " + script + ":3: " + wc.pszError},
                  Lines(proc.err))
            << Dump(proc);
        EXPECT_EQ(std::string::npos, Where(proc.out, "> echo after")) << Dump(proc);
        EXPECT_EQ(1u, Grep(proc.out, "SimOpsStartClass").size()) << Dump(proc);
        EXPECT_EQ(1u, Grep(proc.out, "SimOpsEndClass = 0: session 1").size()) << Dump(proc);
        EXPECT_TRUE(LeftOver(tmp).empty());
    }
}

/* Going on after errors (-i), each wrong line gives its one line and leaves
 * the objects and sessions as they were; no call of the library is made. */
TEST_F(HostTest, WrongLineChangesNothing)
{
    /* A class program that prints nothing, so that the output is the host's. */
    std::string input = "object o bytes abc\n"
                        "start o " + std::string(kProbe) + " --forever\n";
    const std::string state = "objects\nlist\n";
    HOSTPROC proc;

    input += state;
    for (const WRONGCASE &wc : kWrongCases)
        input += std::string(wc.pszLine) + "\n" + state;
    input += "quit\n";
    proc = RunHost({"-i"}, input, env);

    ASSERT_EQ(0, proc.nStatus) << Dump(proc);
    std::vector<std::string> errLines = Lines(proc.err);
    ASSERT_EQ(sizeof(kWrongCases) / sizeof(kWrongCases[0]), errLines.size()) << Dump(proc);
    for (size_t i = 0; i < errLines.size(); i++) {
        /* Lines 1-2 set up, 3-4 show the state, then three lines per case. */
        EXPECT_EQ("zelmxcc-host: stdin:" + std::to_string(5 + 3 * i) + ": " +
                      kWrongCases[i].pszError,
                  errLines[i]);
    }
    /* Every state shown is the first one. */
    std::vector<std::string> outLines = Lines(proc.out);
    std::vector<std::vector<std::string>> states;
    for (size_t i = 0; i < outLines.size(); i++) {
        if (outLines[i] == "> objects") {
            std::vector<std::string> shown;
            for (size_t j = i + 1; j < outLines.size() && outLines[j].compare(0, 2, "> ") != 0; j++)
                shown.push_back(outLines[j]);
            states.push_back(shown);
        }
    }
    ASSERT_EQ(1 + sizeof(kWrongCases) / sizeof(kWrongCases[0]), states.size());
    for (const auto &shown : states)
        EXPECT_EQ(states[0], shown);
    std::vector<std::string> lists;
    for (size_t i = 0; i < outLines.size(); i++) {
        if (outLines[i] == "> list" && i + 1 < outLines.size())
            lists.push_back(outLines[i + 1]);
    }
    ASSERT_EQ(states.size(), lists.size());
    for (const auto &listed : lists)
        EXPECT_EQ(lists[0], listed);
    EXPECT_EQ(0u, lists[0].find("session 1: running, pid ")) << lists[0];
    EXPECT_EQ(1u, Grep(proc.out, "SimOpsStartClass").size()) << Dump(proc);
    EXPECT_EQ(0u, Grep(proc.out, "SimOpsSetClass").size()) << Dump(proc);
    EXPECT_EQ(1u, Grep(proc.out, "SimOpsEndClass").size()) << Dump(proc);
}

/* ---- Notifications -------------------------------------------------------- */

/* Waiting at the prompt for input, the host shows a notification as soon as
 * it arrives, without further input. */
TEST_F(HostTest, NotificationIsShownWhileWaitingForInput)
{
    HOSTPROC proc;

    HpStart(&proc, {"-i"}, env);
    HpWrite(&proc, "object o bytes abc\nstart o " + Showfile("0.3") + "\n");
    EXPECT_TRUE(HpReadUntil(&proc, "notification: message 0x8001: session 1 has ended\n", 30000))
        << Dump(proc);
    HpWrite(&proc, "list\nquit\n");
    HpFinish(&proc);
    EXPECT_EQ(0, proc.nStatus) << Dump(proc);
    EXPECT_EQ(1u, Grep(proc.out, "session 1: ended, pid").size()) << Dump(proc);
}

/* Where notifications come from when the host has no display of its own. */
typedef struct _DISPLAYCASE {
    const char *pszName;
    const char *pszDisplay;   /* DISPLAY for the host, or null */
    bool fXvfbOnPath;         /* whether PATH finds Xvfb */
    const char *pszNote;      /* its note on standard error, or null */
    bool fNotify;             /* notifications arrive */
} DISPLAYCASE;

void PrintTo(const DISPLAYCASE &c, std::ostream *pos)
{
    *pos << c.pszName;
}

const DISPLAYCASE kDisplayCases[] = {
    {"privatexvfb", NULL, true, NULL, true},
    {"unreachable", ":987", true, "zelmxcc-host: cannot open display :987", true},
    {"none", NULL, false,
     "zelmxcc-host: no X display and no Xvfb: notifications are off; wait watches the program's "
     "process",
     false},
};

class HostDisplayTest : public HostTest, public ::testing::WithParamInterface<DISPLAYCASE> {};

TEST_P(HostDisplayTest, SessionEndsAreSeenWithOrWithoutADisplay)
{
    const DISPLAYCASE &dc = GetParam();
    std::string emptyBin = TsJoin(dir, "bin");
    std::string path;
    unsigned long ulPid = 0;
    std::string inputs;
    std::string display;
    unsigned long ulXvfb = 0;

    ASSERT_TRUE(TsMakeDir(emptyBin));
    if (dc.fXvfbOnPath && access("/usr/bin/Xvfb", X_OK) != 0)
        GTEST_SKIP() << "Xvfb is not installed";
    path = dc.fXvfbOnPath ? "/usr/bin:/bin" : emptyBin;
    env.push_back({"DISPLAY", dc.pszDisplay});
    env.push_back({"PATH", path.c_str()});
    std::string script = Script("display.zxc", "object o bytes abc\n"
                                               "start o " + Showfile("0.3") + "\n"
                                               "wait 1 30\n"
                                               "list\n"
                                               "end 1\n");
    HOSTPROC proc = RunHost({script}, "", env);

    ASSERT_EQ(0, proc.nStatus) << Dump(proc);
    ASSERT_TRUE(StartedSession(proc.out, 1, &ulPid, &inputs)) << Dump(proc);
    EXPECT_EQ(1u, Grep(proc.out, "session 1: ended, pid").size()) << Dump(proc);
    EXPECT_EQ(dc.fNotify ? 1u : 0u,
              Grep(proc.out, "notification: message 0x8001: session 1 has ended").size())
        << Dump(proc);
    if (dc.pszNote != NULL) {
        EXPECT_EQ(std::vector<std::string>{dc.pszNote}, Lines(proc.err)) << Dump(proc);
    } else {
        EXPECT_EQ("", proc.err) << Dump(proc);
    }
    /* A private server is named, and gone when the host is. */
    if (dc.fXvfbOnPath) {
        ASSERT_TRUE(PrivateXvfb(proc.out, &display, &ulXvfb)) << Dump(proc);
        EXPECT_TRUE(TsWaitProcessGone(ulXvfb, 10000));
        EXPECT_FALSE(TsFileExists("/tmp/.X11-unix/X" + display));
    } else {
        EXPECT_FALSE(PrivateXvfb(proc.out, &display, &ulXvfb)) << Dump(proc);
    }
    EXPECT_TRUE(LeftOver(tmp).empty());
}

INSTANTIATE_TEST_SUITE_P(Displays, HostDisplayTest, ::testing::ValuesIn(kDisplayCases),
                         [](const ::testing::TestParamInfo<DISPLAYCASE> &info) {
                             return std::string(info.param.pszName);
                         });

/* ---- Leaving ends every session ------------------------------------------- */

typedef struct _LEAVECASE {
    const char *pszName;
    const char *pszLast;   /* the last input line, or null: the input just ends */
    int nSignal;           /* sent while it sleeps, or 0 */
    int nStatus;
} LEAVECASE;

void PrintTo(const LEAVECASE &c, std::ostream *pos)
{
    *pos << c.pszName;
}

const LEAVECASE kLeaveCases[] = {
    {"quit", "quit\n", 0, 0},
    {"endofinput", NULL, 0, 0},
    {"sigterm", "sleep 60\n", SIGTERM, 128 + SIGTERM},
    {"sigint", "sleep 60\n", SIGINT, 128 + SIGINT},
};

class HostLeaveTest : public HostTest, public ::testing::WithParamInterface<LEAVECASE> {};

TEST_P(HostLeaveTest, EveryStartedSessionIsEnded)
{
    const LEAVECASE &lc = GetParam();
    HOSTPROC proc;
    unsigned long aulPid[2] = {0, 0};
    std::string inputs[2];

    HpStart(&proc, {}, env);
    HpWrite(&proc, "object a bytes first\nobject b internal second\n"
                   "start a " + Showfile("60") + "\nstart b " + Showfile("60") + "\n");
    if (lc.pszLast != NULL)
        HpWrite(&proc, lc.pszLast);
    if (lc.nSignal != 0) {
        ASSERT_TRUE(HpReadUntil(&proc, "> sleep 60\n", 30000)) << Dump(proc);
        kill(proc.pid, lc.nSignal);
    }
    HpFinish(&proc);

    EXPECT_EQ(lc.nStatus, proc.nStatus) << Dump(proc);
    for (unsigned long ul = 1; ul <= 2; ul++) {
        ASSERT_TRUE(StartedSession(proc.out, ul, &aulPid[ul - 1], &inputs[ul - 1])) << Dump(proc);
        EXPECT_EQ(1u, Grep(proc.out, "SimOpsEndClass = 0: session " + std::to_string(ul) +
                                         "; inputs file " + inputs[ul - 1])
                          .size())
            << Dump(proc);
        EXPECT_TRUE(TsWaitProcessGone(aulPid[ul - 1], 10000));
        EXPECT_FALSE(TsFileExists(inputs[ul - 1]));
    }
    EXPECT_TRUE(LeftOver(tmp).empty());
}

INSTANTIATE_TEST_SUITE_P(Ways, HostLeaveTest, ::testing::ValuesIn(kLeaveCases),
                         [](const ::testing::TestParamInfo<LEAVECASE> &info) {
                             return std::string(info.param.pszName);
                         });

/* ---- The demonstration ------------------------------------------------------- */

/* The README's demonstration script runs as shipped: the object, the
 * program's output, its notification, the end call, the file gone. */
TEST_F(HostTest, DemoScriptRuns)
{
    std::string binDir = std::string(kShowfile).substr(0, std::string(kShowfile).rfind('/'));
    std::string path = binDir + ":" + (getenv("PATH") != NULL ? getenv("PATH") : "/usr/bin:/bin");
    unsigned long ulPid = 0;
    std::string inputs;

    env.push_back({"PATH", path.c_str()});
    HOSTPROC proc = RunHost({kDemo}, "", env);

    ASSERT_EQ(0, proc.nStatus) << Dump(proc);
    ASSERT_TRUE(StartedSession(proc.out, 1, &ulPid, &inputs)) << Dump(proc);
    EXPECT_NE(std::string::npos, Where(proc.out, "Hello from the working set.\n")) << Dump(proc);
    EXPECT_EQ(1u, Grep(proc.out, "SimOpsSetClass = 0: session 1").size()) << Dump(proc);
    EXPECT_EQ(1u, Grep(proc.out, "notification: message 0x8001: session 1 has ended").size())
        << Dump(proc);
    EXPECT_EQ(1u, Grep(proc.out, "SimOpsEndClass = 0: session 1; inputs file " + inputs + " gone")
                      .size())
        << Dump(proc);
    EXPECT_EQ("", proc.err) << Dump(proc);
    EXPECT_TRUE(LeftOver(tmp).empty());
}

} // namespace
