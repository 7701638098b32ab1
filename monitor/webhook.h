// The webhook: each event of the log POSTed as one JSON object to a URL the
// user gives (root key webhookurl). One sender thread does the sending; the
// threads that log only add to its bounded queue and never wait on it.
#pragma once

#include "core/str.h"
#include "monitor/event_queue.h"

#include <windows.h>

namespace tw {

constexpr size_t kWebhookQueueCapacity = 1000;

// The object for one event, in UTF-8: time, machine, user, event, program,
// path, entry (null for an event of no program), check (health events only),
// text, number and lost (how many events were dropped before it, written
// only when not 0). machine and user go in as given.
CStrA WebhookJson(const FleetEvent& event, unsigned long long lost, const CStrW& machine, const CStrW& user);

// Starts the sender for an http:// or https:// URL with a host; false (and
// nothing started) for any other, or while a sender runs. Start and stop are
// called from one thread (start-up and exit).
bool StartWebhook(const CStrW& url);
// Any thread, under the log's lock: queues a copy of the event when the
// sender runs. It takes only short locks; a full queue drops its oldest.
void QueueWebhookEvent(const FleetEvent& event);
// Gives the sender up to deliverMs to deliver what is queued, then stops it.
// A request still under way is left to the process's end. Does nothing
// when no sender runs; the webhook may be started again afterwards.
void StopWebhook(DWORD deliverMs);

} // namespace tw
