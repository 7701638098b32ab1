// The webhook: each event of the log POSTed as one JSON object to a URL the
// user gives (root key webhookurl). One sender thread does the sending; the
// threads that log only add to its bounded queue and never wait on it.
#pragma once

#include "core/str.h"
#include "monitor/event_queue.h"

#include <windows.h>

namespace tw {

constexpr size_t kWebhookQueueCapacity = 1000;

// The object for one event; lost is how many events were dropped before it
// (written only when not 0). machine and user go in as given.
CStrA WebhookJson(const FleetEvent& event, unsigned long long lost, const CStrW& machine, const CStrW& user);

// Starts the sender for an http:// or https:// URL; false (and nothing
// started) for any other.
bool StartWebhook(const CStrW& url);
// Any thread: queues a copy of the event when the sender runs.
void QueueWebhookEvent(const FleetEvent& event);
// Gives the sender up to deliverMs to deliver what is queued, then stops it.
// A request still under way is left to the process's end.
void StopWebhook(DWORD deliverMs);

} // namespace tw
