// The sends of "send" commands on the main thread: each target's sends in line
// order at the pace its receiver takes them, waits for replies nested on the
// main thread's stack, and nothing blocked while a receiver's queue is full.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <cstdint>

#include "command.h"
#include "protocol.h"

/// Message id of every request that "send" makes.
constexpr int32_t messageId = 1;
/// Status that "send" reports when no port has the target name.
constexpr int32_t statusNotRegistered = -99;

/// Main thread: starts the send of `view` to `target` (null when the name is no text), answering "sent" once.
void startSend(const CommandView& view, const RawJson& id, CFStringRef target);

/// Main thread: whether no send waits, for its reply or for its turn.
bool sendsIdle();

/// Set by the dispatcher, called on the main thread just before a send waits for its
/// reply, so that commands read meanwhile can start inside that wait.
extern void (*beforeSendWaits)();
/// Set by the dispatcher, called on the main thread once the last send in progress has answered.
extern void (*afterSendsIdle)();
