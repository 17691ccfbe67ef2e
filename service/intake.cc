#include "service/intake.h"

#include <algorithm>
#include <utility>

#include "service/event_input.h"
#include "service/log.h"

namespace service {

using scenario::InputError;
using scenario::Json;

Status Intake::Reject(Status status, double count) {
  daemon_.metrics().Rejected(status.row().label, count);
  return status;
}

Admission Intake::Submit(std::vector<Incoming>&& incoming, double count) {
  Admission admission;
  admission.status = daemon_.Submit(std::move(incoming), &admission.jobs);
  if (!admission.status.ok()) admission.status = Reject(std::move(admission.status), count);
  return admission;
}

Status Intake::TooLarge(std::string message) {
  daemon_.metrics().Received(1);
  return Reject({Reason::kTooLarge, std::move(message), ""}, 1);
}

Admission Intake::Events(std::string_view body) {
  std::vector<EventText> texts;
  if (Status split = SplitEvents(body, &texts); !split.ok()) {
    daemon_.metrics().Received(1);
    return {Reject(std::move(split), 1), {}};
  }
  const auto count = static_cast<double>(texts.size());
  daemon_.metrics().Received(count);
  std::vector<Incoming> incoming(texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (Status valid = daemon_.Validate(texts[i].json, texts[i].path, &incoming[i]); !valid.ok()) {
      return {Reject(std::move(valid), count), {}};
    }
  }
  return Submit(std::move(incoming), count);
}

Admission Intake::Line(std::string_view line, std::size_t max_line) {
  daemon_.metrics().Received(1);
  if (line.size() > max_line) {
    return {Reject({Reason::kTooLarge,
                    "the line is longer than " + std::to_string(max_line) + " bytes", ""},
                   1),
            {}};
  }
  Json json;
  InputError error;
  if (!scenario::ParseJson(line, &json, &error)) {
    return {Reject({Reason::kInvalid, error.message, error.place}, 1), {}};
  }
  std::vector<Incoming> incoming(1);
  if (Status valid = daemon_.Validate(json, "", &incoming[0]); !valid.ok()) {
    return {Reject(std::move(valid), 1), {}};
  }
  return Submit(std::move(incoming), 1);
}

AlertAdmission Intake::Alerts(std::string_view body) {
  Metrics& metrics = daemon_.metrics();
  AlertAdmission out;
  Json payload;
  InputError error;
  if (!scenario::ParseJson(body, &payload, &error)) {
    metrics.Received(1);
    out.admission.status = Reject({Reason::kInvalid, error.message, error.place}, 1);
    return out;
  }
  std::vector<Incoming> incoming;
  Status mapped = daemon_.MapAlertmanager(payload, &out.batch, &incoming);
  if (mapped.reason == Reason::kNoAlertInput) {
    out.admission.status = std::move(mapped);
    return out;
  }
  const AlertBatch& batch = out.batch;
  const auto count = static_cast<double>(std::max<std::size_t>(incoming.size(), 1));
  metrics.Alerts("firing", static_cast<double>(batch.firing), 0, 0);
  metrics.Alerts("resolved", static_cast<double>(batch.resolved), 0, 0);
  if (!mapped.ok()) {
    metrics.Received(count);
    out.admission.status = Reject(std::move(mapped), count);
    return out;
  }
  if (batch.truncated > 0) {
    Log(kPriorityWarning, "receiver \"" + batch.receiver + "\": Alertmanager left out " +
                              std::to_string(batch.truncated) +
                              " alerts of a notification (its max_alerts)");
  }
  metrics.Alerts("resolved", 0, 0, static_cast<double>(batch.ignored_resolved));
  metrics.AlertsIgnored("missing_property", static_cast<double>(batch.ignored_missing));
  if (incoming.empty()) return out;
  std::size_t firing = 0;
  for (const AlertEvent& event : batch.events) firing += event.firing ? 1 : 0;
  const std::size_t resolved = batch.events.size() - firing;
  metrics.Received(count);
  out.admission = Submit(std::move(incoming), count);
  if (out.admission.status.ok()) {
    metrics.Alerts("firing", 0, static_cast<double>(firing), 0);
    metrics.Alerts("resolved", 0, static_cast<double>(resolved), 0);
  }
  return out;
}

Status Intake::WaitDurable(const std::vector<std::shared_ptr<Job>>& jobs) {
  if (daemon_.WaitDurable(jobs)) return Status::Ok();
  return {Reason::kJournalFailed, "", ""};
}

}  // namespace service
