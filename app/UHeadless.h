#pragma once
// The windowless program: the model runs on the main thread, which serves the workers' threaded
// calls and the synchronisation timer until SIGINT, SIGTERM or SIGHUP, or until the web service
// reports the account closed. Each activity log item is written to standard output as it is added,
// after a summary of what is screened. Main thread only.

class TMessageLoop;
class TTessivarBusinessLogic;

// Stops screening: each redirected mail program account is pointed back at its real server and its
// local server stopped, while this thread still serves the session releases of open connections
// so that their deletions apply. Then the workers' calls are refused, and the model lets go of its
// records (which ends the mailbox checkers without passing them on to a half-emptied model).
// False when something failed (reported): a mail program may still name a local server.
bool StopScreening(TMessageLoop& loop, TTessivarBusinessLogic& model);

// Screens mail until a quit signal; returns the exit status (0 after a clean stop, 1 when start-up
// failed, screening ended on an error or the mail programs could not all be restored).
int RunScreening();
