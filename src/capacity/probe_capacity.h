// probe_capacity: tells a counterfeit card or stick, one that reports more
// capacity than it stores, from a real one before an image is written to it.
// Destructive: the probed blocks are overwritten. docs/protocol.md has the
// whole contract.
#pragma once

#include "platform/clock.h"
#include "protocol/helper_error.h"
#include "protocol/request.h"

namespace dh {

// Payload: osDevicePath/deviceId, optional taskId.
//
// Locks and dismounts the target's volumes as write_image does, writes a
// signature block unique to this run and offset at each probe offset
// (probe_offsets) from the highest down through an exclusive write-through
// handle, flushes and closes it, then reads every block back in a shuffled
// order through a new exclusive handle (which on Linux drops the device's
// cache first) and judges them (judge_probes). "PROBE" progress lines: one
// before the first write, rate-limited ones, one when the writes are
// flushed, one at the end. A plain file is probed as a device of its size;
// nothing is written past its end.
//
// Answers reportedBytes, usableBytes, fake, firstBadOffset (null when every
// probe held), probes, writeSpeedBps, readSpeedBps. A medium that fails
// probes is an answer, not an error.
//
// Errors, in the order checked: UNKNOWN for a missing target; the target
// refusals and UNMOUNT_FAILED of lock_target_volumes; ELEVATION_DENIED or
// DEVICE_DISCONNECTED when a target open is refused (exclusive_write_handle,
// exclusive_read_handle); UNKNOWN "Cannot probe <path>: it does not tell its
// size" or "Cannot probe <path>: its N bytes hold no whole probe block of P
// bytes"; WRITE_FAILED with the system's text for a failed seek, write or
// flush; READ_FAILED with the system's text (or "failed to fill whole
// buffer") for a failed seek or read. Locks are held until it returns; every
// handle is closed on every path.
HandlerResult probe_capacity(const WindowsHelperRequest& request, Clock& clock);

HandlerResult handle_probe_capacity(const WindowsHelperRequest& request);

}  // namespace dh
