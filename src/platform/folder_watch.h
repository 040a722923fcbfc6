#pragma once

#include <string>

#include "platform/error_or.h"
#include "platform/file_descriptor.h"

namespace vellomar {

// inotify: a descriptor that turns readable when a file is put into `folder` (created and
// closed after writing, or renamed into it), or when events were lost; non-blocking.
ErrorOr<FileDescriptor> WatchFolderArrivals(const std::string& folder);
// Reads and drops every event waiting on the watch; what arrived is found by listing the folder.
void DrainFolderEvents(int watch);

// eventfd: a counter that another thread (or a stop) posts to, to wake one that polls it;
// non-blocking.
ErrorOr<FileDescriptor> CreateEventCounter();
// Safe from any thread and from a stop flag's wake call.
void PostEvent(int counter);
// Takes the count back to 0.
void ClearEvent(int counter);

}  // namespace vellomar
