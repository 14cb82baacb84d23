#include "support/threads/child_process.h"

namespace Quorlin {

InheritList::InheritList(std::vector<HANDLE> handles) : _handles(std::move(handles)) {
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  _storage.resize(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(_storage.data());
  if (InitializeProcThreadAttributeList(list, 1, 0, &size)) {
    if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, _handles.data(),
                                  _handles.size() * sizeof(HANDLE), nullptr, nullptr))
      _list = list;
    else
      DeleteProcThreadAttributeList(list);
  }
}

InheritList::~InheritList() {
  if (_list) DeleteProcThreadAttributeList(_list);
}

STARTUPINFOEXA InheritList::startup(HANDLE input, HANDLE output) const {
  STARTUPINFOEXA startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = input;
  startup.StartupInfo.hStdOutput = output;
  startup.StartupInfo.hStdError = output;
  startup.lpAttributeList = _list;
  return startup;
}

JobHandle killOnCloseJob() {
  JobHandle job(CreateJobObjectA(nullptr, nullptr));
  if (!job) return job;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) job.reset();
  return job;
}

void keepProcessesOnClose(HANDLE job) {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
}

}  // namespace Quorlin
