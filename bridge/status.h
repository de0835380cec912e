// The statuses with which the tool ends, each for one reason.
#pragma once

/// Status with which the tool ends on a bad command line.
constexpr int statusUsage = 64;
/// Status with which the tool ends when a port name cannot be registered.
constexpr int statusCannotRegister = 65;
/// Status with which the tool ends when nobody reads its output any more.
constexpr int statusOutputClosed = 74;
/// Status with which the tool ends when an input line is too long to hold in memory.
constexpr int statusOutOfMemory = 71;
/// Status with which the tool ends when it starts with too few file descriptors to run.
constexpr int statusOutOfDescriptors = 71;
