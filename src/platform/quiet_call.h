// Runs one call with the working directory an empty scratch folder and
// standard output sent to /dev/null, then puts both back and removes the
// folder. For a tool whose first library call would otherwise pick up files of
// the directory it was started in, or print on the output that carries its
// answer.
#pragma once

// fn runs even when a step before it fails (it then runs where it can). 0, or
// the errno of a failed restore: the process keeps the scratch folder as its
// working directory, or its standard output changed.
int quiet_CallInScratchDir(void (*fn)());
