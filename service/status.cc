#include "service/status.h"

namespace service {
namespace {

const ReasonRow kRows[] = {
    {Reason::kNone, 0, "", "", 0},
    {Reason::kInvalid, 400, "invalid", "the input is not an acceptable event", 0},
    {Reason::kTooLarge, 413, "too_large", "the input is larger than its limit", 0},
    {Reason::kQueueFull, 503, "queue_full", "a profile's queue is full", 1},
    {Reason::kJournalFull, 503, "journal_full", "the journal is full", 5},
    {Reason::kJournalFailed, 503, "journal_failed", "the state database cannot be written (see the log)",
     30},
    {Reason::kStopping, 503, "stopping", "the daemon is stopping", 10},
    {Reason::kNoAlertInput, 404, "", "the configuration has no \"alertmanager\" object", 0},
    {Reason::kNotReplayable, 0, "not_replayable", "its journal record is not readable", 0},
    // These two labels are the messages' first words, as they have always
    // been exposed; dashboards match them.
    {Reason::kRaiseRefused, 0, "the repository refused to raise it",
     "the repository refused to raise it", 0},
    {Reason::kNotSubscribed, 0, "the profile's component is not subscribed",
     "the profile's component is not subscribed", 0},
    {Reason::kFailed, 0, "", "the operation failed", 0},
};

}  // namespace

const ReasonRow& RowOf(Reason reason) {
  for (const ReasonRow& row : kRows) {
    if (row.reason == reason) return row;
  }
  return kRows[0];
}

}  // namespace service
