/*
 * probepath.h - where the portable suites find the class program fixture on
 * Windows: next to the test program, wherever the build lies. Included
 * ahead of every source of those suites, which name it ZXCPROBE_PATH.
 */
#ifndef PROBEPATH_H
#define PROBEPATH_H

const char *ZxcProbePath(void);

#endif /* PROBEPATH_H */
