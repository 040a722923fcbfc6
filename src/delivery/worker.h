#pragma once

#include <string>

namespace vellomar {

class RelayServices;
struct DeliveryServices;

// Delivers one spool file: publishes its summary, serves its pending recipients one after
// another along their routes (logging in with the sign-ins of `delivery`), and deletes the file
// when none is left pending. 1 when the file was deleted and its name released, 0 otherwise.
// Notifies `workerEnded` at its end, so that a dispatcher waiting at its limit looks again.
int WorkerThread(RelayServices& relay, DeliveryServices& delivery, const std::string& name);

}  // namespace vellomar
