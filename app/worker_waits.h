// The start-up routine's two ways of waiting for the stop worker: once per second, reading the
// running flag under the controller's lock and never holding it across the pause.
#pragma once

class CFirmwareControl;

// Returns only when the worker has cleared its flag.
void WaitForWorker(CFirmwareControl& control);

// Gives up silently after 60 pauses (61 reads); the worker may then still run.
void WaitForWorkerBounded(CFirmwareControl& control);
