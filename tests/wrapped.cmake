# The platform calls that the fault suite wraps at the seam (GNU ld --wrap),
# for both targets: ZELM_WRAP_FLAGS holds the linker options.
set(ZELM_WRAPPED PlatCreateMutex PlatWaitMutex PlatReleaseMutex PlatStartThread
    PlatDuplicateProgram PlatKillProgram PlatChangeDrive PlatGetDrive PlatPostMessage
    PlatEnumWindows PlatGetWindowProcessId PlatIsWindowVisible PlatCloseWindow
    PlatSetForegroundWindow PlatSleep PlatChangeDir PlatTempName PlatStartProgram)
set(ZELM_WRAP_FLAGS "")
foreach(fn ${ZELM_WRAPPED})
  list(APPEND ZELM_WRAP_FLAGS "-Wl,--wrap=${fn}")
endforeach()
