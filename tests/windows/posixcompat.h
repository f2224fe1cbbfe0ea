/*
 * posixcompat.h - the POSIX calls that the portable fault suite makes, on
 * Win32: ending a process by its identifier, making a symbolic link.
 * Included ahead of that suite's sources in the Windows build only.
 */
#ifndef POSIXCOMPAT_H
#define POSIXCOMPAT_H

#include <sys/types.h>
#include <windows.h>

#ifndef SIGKILL
#define SIGKILL 9
#endif

/* The process ends at once with exit code 128 + nSignal, as a shell would
 * show a signalled process. 0 or -1. */
static inline int kill(pid_t pid, int nSignal)
{
    int rc = -1;
    HANDLE hProc = OpenProcess(PROCESS_TERMINATE, FALSE, (DWORD)pid);

    if (hProc != NULL) {
        if (TerminateProcess(hProc, 128 + (UINT)nSignal)) {
            rc = 0;
        }
        CloseHandle(hProc);
    }
    return rc;
}

#ifndef SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
#define SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE 0x2
#endif

/* A symbolic link pszLink to the file pszTarget. 0 or -1. Some systems
 * (Wine) report success without making a link: what counts is that a link
 * is there afterwards. */
static inline int symlink(const char *pszTarget, const char *pszLink)
{
    DWORD dwAttrs;

    if (!CreateSymbolicLinkA(pszLink, pszTarget, SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) &&
        !CreateSymbolicLinkA(pszLink, pszTarget, 0)) {
        return -1;
    }
    dwAttrs = GetFileAttributesA(pszLink);
    if (dwAttrs == INVALID_FILE_ATTRIBUTES || (dwAttrs & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        DeleteFileA(pszLink);
        return -1;
    }
    return 0;
}

#endif /* POSIXCOMPAT_H */
