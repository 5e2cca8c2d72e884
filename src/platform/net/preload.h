// Loading the URL engine's library ahead of the first request. A process that knows it is about to
// send requests (the app launching) starts the dynamic loader on libcurl and its dependent libraries
// on a worker at once, so that its first transfer does not wait for them; a process that never calls
// this still loads them on its first transfer, and one that sends nothing never maps them.
#pragma once

namespace lv {

// Starts loading libcurl on a global-queue worker, then makes the URL engine (its thread and multi
// handle), once per process (nothing when it is loaded or loading). Any thread; returns at once. The
// first transfer waits for a load still running.
void preloadURLEngine();

// Waits for a preload still running (nothing when none was started or it is done). A process calls it
// before it exits: exit must not tear libraries down while the loader is still mapping and setting
// them up on the worker.
void finishURLEnginePreload();

}  // namespace lv
