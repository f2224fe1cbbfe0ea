/*
 * paths_files_test.cpp - full paths, the current directory, temporary
 * names and exclusive file creation on the POSIX backend.
 */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif

#include "plat_posix_util.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <set>
#include <thread>
#include <vector>

/* The parent of an absolute path, lexically. */
static std::string Parent(const std::string &strPath)
{
    size_t i = strPath.rfind('/');
    return i == 0 ? "/" : strPath.substr(0, i);
}

static std::string FullPath(const std::string &strPath, ULONG ulLimit, bool *pfOk)
{
    std::vector<char> achOut(ulLimit + 1, '\0');
    PSZ psz = PlatFullPath(achOut.data(), (PSZ)strPath.c_str(), ulLimit);
    *pfOk = psz != NULL;
    if (psz != NULL && psz != achOut.data())
        ADD_FAILURE() << "result not in the caller's buffer";
    return psz != NULL ? std::string(psz) : std::string();
}

/* ---- Full paths ------------------------------------------------------------ */

TEST_F(PlatPosixTest, FullPathNormalisesLexically)
{
    enum { ROOT, CWD, PARENT, GRANDPARENT };
    static const struct {
        const char *pszPath;
        int nBase;
        const char *pszRest;
    } aCases[] = {
        {"", CWD, ""},
        {".", CWD, ""},
        {"./", CWD, ""},
        {"x", CWD, "/x"},
        {"x/", CWD, "/x"},
        {"x//y/./z/", CWD, "/x/y/z"},
        {"x/../y", CWD, "/y"},
        {"...", CWD, "/..."},
        {".hidden/..x/x..", CWD, "/.hidden/..x/x.."},
        {"no/such/dir/../file", CWD, "/no/such/file"},
        {"lnk", CWD, "/lnk"},
        {"lnk/..", CWD, ""},
        {"lnk/../x", CWD, "/x"},
        {"..", PARENT, ""},
        {"../", PARENT, ""},
        {"../cwd/../other", PARENT, "/other"},
        {"../..", GRANDPARENT, ""},
        {"/", ROOT, "/"},
        {"//", ROOT, "/"},
        {"///a//b///", ROOT, "/a/b"},
        {"/a/./b/.", ROOT, "/a/b"},
        {"/a/b/..", ROOT, "/a"},
        {"/a/b/../..", ROOT, "/"},
        {"/..", ROOT, "/"},
        {"/../../x", ROOT, "/x"},
        {"/a/../../b", ROOT, "/b"},
        {"/a b/ c /", ROOT, "/a b/ c "},
        {"/x/.../y", ROOT, "/x/.../y"},
    };
    std::string strCwd = m_strDir + "/cwd";

    ASSERT_EQ(mkdir(strCwd.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((m_strDir + "/elsewhere").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((m_strDir + "/elsewhere/deep").c_str(), 0700), 0);
    /* A link must not be followed: lnk/.. is the directory holding lnk. */
    ASSERT_EQ(symlink((m_strDir + "/elsewhere/deep").c_str(), (strCwd + "/lnk").c_str()), 0);
    ASSERT_EQ(chdir(strCwd.c_str()), 0);

    for (const auto &c : aCases) {
        SCOPED_TRACE(std::string("path [") + c.pszPath + "]");
        std::string strExpected;
        switch (c.nBase) {
        case CWD:
            strExpected = strCwd + c.pszRest;
            break;
        case PARENT:
            strExpected = m_strDir + c.pszRest;
            break;
        case GRANDPARENT:
            strExpected = Parent(m_strDir) + c.pszRest;
            break;
        default:
            strExpected = c.pszRest;
            break;
        }
        bool fOk = false;
        EXPECT_EQ(FullPath(c.pszPath, 4096, &fOk), strExpected);
        EXPECT_TRUE(fOk);
    }
}

TEST_F(PlatPosixTest, FullPathFailsWhenTheResultDoesNotFit)
{
    std::string str259 = "/" + std::string(258, 'a');
    std::string str260 = "/" + std::string(259, 'a');
    /* Long on the way in, short once normalised. */
    std::string strShrinks = "/" + std::string(300, 'b') + "/../" + std::string(250, 'c') + "/./";
    bool fOk = false;

    EXPECT_EQ(FullPath(str259, 260, &fOk), str259);
    EXPECT_TRUE(fOk);
    FullPath(str260, 260, &fOk);
    EXPECT_FALSE(fOk) << "260 characters and the terminator in 260";
    EXPECT_EQ(FullPath(str260, 261, &fOk), str260);
    EXPECT_TRUE(fOk);
    EXPECT_EQ(FullPath(str260 + "/x/..//", 261, &fOk), str260);
    EXPECT_TRUE(fOk);
    EXPECT_EQ(FullPath(strShrinks, 260, &fOk), "/" + std::string(250, 'c'));
    EXPECT_TRUE(fOk);
    EXPECT_EQ(FullPath("/ab", 4, &fOk), "/ab");
    EXPECT_TRUE(fOk);
    FullPath("/ab", 3, &fOk);
    EXPECT_FALSE(fOk);
    FullPath("/", 0, &fOk);
    EXPECT_FALSE(fOk);

    /* Nothing is written at or after the limit when it does not fit. */
    std::vector<char> achOut(600, 'Z');
    EXPECT_EQ(PlatFullPath(achOut.data(), (PSZ)str260.c_str(), 260), nullptr);
    for (size_t i = 260; i < achOut.size(); i++)
        ASSERT_EQ(achOut[i], 'Z') << "written at " << i;
}

TEST_F(PlatPosixTest, FullPathWorksBelowADeepCurrentDirectory)
{
    std::string strDeep = m_strDir;
    for (int i = 0; i < 3; i++) {
        strDeep += "/" + std::string(100, (char)('d' + i));
        ASSERT_EQ(mkdir(strDeep.c_str(), 0700), 0);
    }
    ASSERT_EQ(chdir(strDeep.c_str()), 0);
    ASSERT_GT(strDeep.size(), 300u);

    bool fOk = false;
    EXPECT_EQ(FullPath("../../..", 260, &fOk), m_strDir);
    EXPECT_TRUE(fOk);
    EXPECT_EQ(FullPath("../../../x", 260, &fOk), m_strDir + "/x");
    EXPECT_TRUE(fOk);
    EXPECT_EQ(FullPath("", 4096, &fOk), strDeep);
    EXPECT_TRUE(fOk);
    FullPath("", 260, &fOk);
    EXPECT_FALSE(fOk);
}

TEST_F(PlatPosixTest, FullPathMayOverwriteItsInput)
{
    char achBuf[261];

    ASSERT_EQ(chdir(m_strDir.c_str()), 0);
    strcpy(achBuf, "x/../y//z/.");
    ASSERT_EQ(PlatFullPath(achBuf, achBuf, sizeof(achBuf)), achBuf);
    EXPECT_EQ(std::string(achBuf), m_strDir + "/y/z");
}

/* ---- Current directory -------------------------------------------------------- */

TEST_F(PlatPosixTest, GetCwdAndChangeDir)
{
    std::string strSub = m_strDir + "/sub dir";
    std::vector<char> achOut(600, 'Z');

    ASSERT_EQ(mkdir(strSub.c_str(), 0700), 0);
    ASSERT_EQ(chdir(m_strDir.c_str()), 0);
    EXPECT_EQ(PlatChangeDir((PSZ) "sub dir"), 0);
    EXPECT_EQ(UtGetCwd(), strSub);

    ULONG ulFit = (ULONG)strSub.size() + 1;
    ASSERT_EQ(PlatGetCwd(achOut.data(), ulFit), achOut.data());
    EXPECT_EQ(std::string(achOut.data()), strSub);
    EXPECT_EQ(PlatGetCwd(achOut.data(), ulFit - 1), nullptr);

    EXPECT_NE(PlatChangeDir((PSZ) "/nonexistent/zxc"), 0);
    EXPECT_EQ(UtGetCwd(), strSub);
}

/* ---- Temporary names ----------------------------------------------------------- */

static std::string TempName(bool *pfOk)
{
    char achOut[261];
    memset(achOut, 'Z', sizeof(achOut));
    PSZ psz = PlatTempName(achOut);
    *pfOk = psz != NULL;
    return psz != NULL ? std::string(psz) : std::string();
}

TEST_F(PlatPosixTest, TempNameFollowsTmpDir)
{
    static const struct {
        const char *pszTmpDir; /* "@" stands for the scratch directory; null unsets */
        const char *pszDirExpected;
    } aCases[] = {
        {"@", "@"},
        {"@///", "@"},
        {"@/missing/", "@/missing"},
        {NULL, "/tmp"},
        {"", "/tmp"},
        {"/", ""},
        {"rel/sub/", "@/rel/sub"},
        {"./rel/../other", "@/other"},
    };
    std::string strPid = std::to_string((long)getpid());

    ASSERT_EQ(chdir(m_strDir.c_str()), 0);
    for (const auto &c : aCases) {
        std::string strTmpDir = c.pszTmpDir != NULL ? c.pszTmpDir : "(unset)";
        std::string strDir = c.pszDirExpected;
        if (strTmpDir.compare(0, 1, "@") == 0)
            strTmpDir = m_strDir + strTmpDir.substr(1);
        if (strDir.compare(0, 1, "@") == 0)
            strDir = m_strDir + strDir.substr(1);
        SCOPED_TRACE("TMPDIR [" + strTmpDir + "]");

        if (c.pszTmpDir != NULL)
            setenv("TMPDIR", strTmpDir.c_str(), 1);
        else
            unsetenv("TMPDIR");
        bool fOk = false;
        std::string strName = TempName(&fOk);
        ASSERT_TRUE(fOk);
        std::string strPrefix = strDir + "/zelmxcc-" + strPid + "-";
        EXPECT_EQ(strName.compare(0, strPrefix.size(), strPrefix), 0) << strName;
        EXPECT_EQ(strName.find('/', strPrefix.size()), std::string::npos) << strName;
        EXPECT_LE(strName.size(), 260u);
        EXPECT_FALSE(UtExists(strName));
    }
}

TEST_F(PlatPosixTest, TempNameFailsWhenTooLong)
{
    bool fOk = true;

    setenv("TMPDIR", ("/" + std::string(240, 't')).c_str(), 1);
    TempName(&fOk);
    EXPECT_FALSE(fOk);
    setenv("TMPDIR", ("/" + std::string(300, 't')).c_str(), 1);
    TempName(&fOk);
    EXPECT_FALSE(fOk);
}

TEST_F(PlatPosixTest, TempNamesAreDistinctAcrossThreads)
{
    const int cThreads = 4;
    const int cEach = 250;
    std::set<std::string> setNames;
    std::mutex mtxNames;
    std::vector<std::thread> ath;
    int cFailed = 0;

    setenv("TMPDIR", m_strDir.c_str(), 1);
    for (int t = 0; t < cThreads; t++) {
        ath.emplace_back([&] {
            for (int i = 0; i < cEach; i++) {
                bool fOk = false;
                std::string strName = TempName(&fOk);
                std::lock_guard<std::mutex> guard(mtxNames);
                if (!fOk)
                    cFailed++;
                else
                    setNames.insert(strName);
            }
        });
    }
    for (std::thread &th : ath)
        th.join();
    EXPECT_EQ(cFailed, 0);
    EXPECT_EQ(setNames.size(), (size_t)(cThreads * cEach));
}

/* ---- Exclusive creation -------------------------------------------------------- */

TEST_F(PlatPosixTest, CreateNewFileMakesAPrivateReadWriteFile)
{
    static const char achData[] = "binary\r\n\0\x01\xff data";
    char achName[261];
    char achBack[sizeof(achData)];
    struct stat st;
    mode_t modeOld = umask(022);

    setenv("TMPDIR", m_strDir.c_str(), 1);
    ASSERT_EQ(PlatTempName(achName), achName);
    FILE *pf = PlatCreateNewFile(achName);
    umask(modeOld);
    ASSERT_NE(pf, nullptr) << strerror(errno);

    EXPECT_EQ(fstat(fileno(pf), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_NE(fcntl(fileno(pf), F_GETFD) & FD_CLOEXEC, 0) << "would reach class programs";

    /* Written and read back through the same stream, byte for byte. */
    EXPECT_EQ(fwrite(achData, 1, sizeof(achData), pf), sizeof(achData));
    EXPECT_EQ(fseek(pf, 0, SEEK_SET), 0);
    EXPECT_EQ(fread(achBack, 1, sizeof(achBack), pf), sizeof(achBack));
    EXPECT_EQ(memcmp(achBack, achData, sizeof(achData)), 0);
    EXPECT_EQ(fclose(pf), 0);

    std::string strContent;
    EXPECT_TRUE(UtReadFile(achName, &strContent));
    EXPECT_EQ(strContent, std::string(achData, sizeof(achData)));
}

TEST_F(PlatPosixTest, CreateNewFileRefusesWhatExists)
{
    std::string strTarget = m_strDir + "/target";
    std::string strTargetDir = m_strDir + "/targetdir";
    std::string strFile = m_strDir + "/planted";
    std::string strLink = m_strDir + "/link";
    std::string strDirLink = m_strDir + "/dirlink";
    std::string strDangling = m_strDir + "/dangling";
    std::string strDanglingTarget = m_strDir + "/not-there";
    std::string strContent;
    struct stat st;

    ASSERT_TRUE(UtWriteFile(strTarget, "target content"));
    ASSERT_TRUE(UtWriteFile(strFile, "planted content"));
    ASSERT_EQ(mkdir(strTargetDir.c_str(), 0700), 0);
    ASSERT_EQ(symlink(strTarget.c_str(), strLink.c_str()), 0);
    ASSERT_EQ(symlink(strTargetDir.c_str(), strDirLink.c_str()), 0);
    ASSERT_EQ(symlink(strDanglingTarget.c_str(), strDangling.c_str()), 0);

    const std::string astrNames[] = {strFile, strLink, strDirLink, strDangling, strTargetDir};
    for (const std::string &strName : astrNames) {
        SCOPED_TRACE(strName);
        errno = 0;
        FILE *pf = PlatCreateNewFile((PSZ)strName.c_str());
        EXPECT_EQ(pf, nullptr);
        EXPECT_EQ(errno, EEXIST);
        if (pf != NULL)
            fclose(pf);
    }

    EXPECT_TRUE(UtReadFile(strFile, &strContent));
    EXPECT_EQ(strContent, "planted content");
    EXPECT_TRUE(UtReadFile(strTarget, &strContent));
    EXPECT_EQ(strContent, "target content") << "followed the link";
    EXPECT_EQ(lstat(strLink.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_FALSE(UtExists(strDanglingTarget)) << "created the file a link points at";
    EXPECT_FALSE(UtExists(strTargetDir + "/x"));

    /* Nor can a file be made where its directory is missing. */
    EXPECT_EQ(PlatCreateNewFile((PSZ)(m_strDir + "/missing/file").c_str()), nullptr);
    EXPECT_EQ(errno, ENOENT);
}
