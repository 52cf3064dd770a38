#pragma once
// The windowless program: the model runs on the main thread, which serves the workers' threaded
// calls and the synchronisation timer until SIGINT, SIGTERM or SIGHUP, or until the web service
// reports the account closed. Each activity log item is written to standard output as it is added,
// after a summary of what is screened. Main thread only.

// Screens mail until a quit signal; returns the exit status (0 after a clean stop, 1 when start-up
// failed, screening ended on an error or the mail programs could not all be restored).
int RunScreening();
