// Start-up of the tool: the command line, the local ports and the main run loop.
#pragma once

/// Runs the tool; returns only if the main run loop ever does, with the exit status.
int startUp(int argc, char** argv);
