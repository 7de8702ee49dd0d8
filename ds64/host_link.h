// The 32-bit host process of the open source and the channel to it: a
// section with one BridgeBlock and two events, inherited by the host and by
// no one else, the host's process (ended with the application through a job
// object), and a window on the application's thread that receives the
// source's notices.
#pragma once

#include <windows.h>

#include "bridge/wire.h"

// The folder of the 32-bit source and its host, with its closing backslash.
// 0 found.
int FindHostFolder(char (&path)[MAX_PATH]);

// Starts the host installed beside the 32-bit source, or takes the one kept
// idle since the last MSG_CLOSEDS when it still runs (one that died or
// stopped meanwhile is replaced). 0 started, 1 not (logged, nothing left
// behind).
int StartHost();

// After MSG_CLOSEDS: keeps the host, which has closed the source and waits
// idle for the next open (bridge/wire.h, HostIdleLife). From here
// HostRunning is false. False when the host is not idle (ended, or closed
// otherwise): it is then to be stopped.
bool KeepHostIdle();

// Ends the host and closes the channel: a host told MSG_CLOSEDS leaves by
// itself, one that has not left after `wait` ms is terminated (an idle one
// too). Nothing happens without a host.
constexpr unsigned long HostExitWait = 5000;
void StopHost(unsigned long wait);

// A host was started and has not been seen gone.
bool HostRunning();

// The shared block of the running host.
BridgeBlock& HostBlock();

// Hands the block to the host and waits for its answer. 0 answered; 1 the
// host is gone (logged; from then on HostRunning is false). A host whose
// heartbeat stands still for a few seconds (its process stopped) is ended,
// and so is one that stays in the call beyond its busy limit with no window
// a person can answer: no call waits for ever, while a slow frame or a host
// waiting for a person is waited for.
int ExchangeWithHost();
// Whether a call waits for the host's answer: a window procedure of the
// application, run by a message sent meanwhile, calls in again.
bool HostExchanging();

// Whether the 32-bit source is enabled (states 5 to 7), as this side follows
// it. A host that ends while it is tells the application MSG_CLOSEDSREQ.
void NoteHostEnabled(bool enabled);
bool HostWasEnabled();

// Copies the `length` bytes of an image at `offset` in the image section
// both map to `to`. 0 copied; 1 outside the section (logged).
int ReadHostImage(uint32_t offset, void* to, uint32_t length);
// Whether `length` bytes at `offset` lie in the image section.
bool InImageSection(uint32_t offset, uint32_t length);

// Lets the host bring its dialog to the front over the application.
void LetHostTakeForeground();
