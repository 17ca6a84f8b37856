// The on-access canary: a running engine process is not proof that its
// on-access scanner still refuses anything. When CanaryPath names a file that
// holds the 68-byte anti-virus test string under the scanner's watch, every
// engine-status job also opens it read-only, the way a trigger scan opens a
// share file. Refused with EPERM (225, the scanner's denial): protected. Any
// successful open, or a failure for another reason (missing, a folder, no
// permission), is not protected, and the job reports the engine not running.
//
// Cost: a verdict younger than 2 s is reused, and only one job probes at a
// time. A job that finds a probe in flight waits up to 5 s for its verdict; a
// probe still running after that (an open hung in a stuck scanner) answers
// that job with not protected, so a hung scanner never reads as protected.
// A missing canary (its folder present) is written by the agent and probed
// again; the write's outcome is logged when it changes. The verdict is logged
// when it changes: WARN when protection is lost (and when its cause changes),
// INFO when it is verified.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/trigger_open.h"

enum class CanaryVerdict { kOff, kProtected, kUnprotected };

constexpr size_t AV_CANARY_SIZE = 68;

// The verdict a status job uses now (kOff when CanaryPath is empty).
CanaryVerdict checkCanary();
// The test string, built at run time so that no file of ours carries it whole.
void buildCanaryContent(char (&out)[AV_CANARY_SIZE]);

// Test seams: the probe's open; forgetting every verdict, with the reuse age
// and the wait for a probe in flight (ms) set anew.
extern TriggerOpenResult (*g_canaryOpen)(const char* absPath);
void resetCanaryForTest(int64_t reuseMs = 2000, int64_t waitMs = 5000);
