// The executor family: one executor per action of a running profile's rule.
//
// The component's rule executor builds one executor per action description of
// a rule, by the description's kind, and runs them in order for each event
// under the execution limit. Each executor holds its own copy of its
// description, made when it is built; the copy never changes.
//
// An executor sees the profile's sink only as the host framework's sink base
// (CTemporarySink): the profile name, the services given to Start and
// DecodeVariant are everything an action uses of it. So the action kinds build
// on this layer and never on the component above them.
//
// Executors run on the thread that delivers the event; an executor is used by
// one delivery at a time.
#pragma once

#include <cstdint>

#include "settings/action_info.h"
#include "settings/object.h"
#include "wbem/interfaces.h"

class CTemporarySink;

// Virtual slots after the object root's five: Execute, GetExecutionLimit.
// The run-time class record names the object root as base; the executors are
// not serialisable and cannot be created by name.
class CImplBaseActionInfo : public CObject {
  AM_DECLARE_DYNAMIC(CImplBaseActionInfo)

 public:
  ~CImplBaseActionInfo() override = default;

  // Runs the action for `event`, delivered to `sink` (the profile's
  // CActionManagerSink, seen as its host framework base). Nonzero when the action
  // succeeded, 0 when it failed (the executor has logged why).
  virtual int Execute(CTemporarySink* sink, IWbemClassObject* event) = 0;

  // The description's execution limit: how many deliveries of one event id
  // may run the action; 0 means no limit.
  virtual std::uint16_t GetExecutionLimit() const = 0;

 protected:
  CImplBaseActionInfo() = default;
};

// Task actions are carried for the agent's task component; the rule executor
// never calls Execute on them, and if anything does, it does nothing.
class CImplTaskActionInfo : public CImplBaseActionInfo {
  AM_DECLARE_DYNAMIC(CImplTaskActionInfo)

 public:
  explicit CImplTaskActionInfo(const CTaskActionInfo& info) { m_Info = info; }

  int Execute(CTemporarySink*, IWbemClassObject*) override { return 1; }
  std::uint16_t GetExecutionLimit() const override { return m_Info.m_wExecLimit; }

  const CTaskActionInfo& GetInfo() const { return m_Info; }

 private:
  CTaskActionInfo m_Info;
};
