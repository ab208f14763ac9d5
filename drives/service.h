// spindwart-drives as the Windows service "SpindwartWatch": the watch from boot to shutdown, its lines
// in the log (watch_log.h) under %ProgramData%\Spindwart.
#pragma once

// --install [--idle MINUTES] [DEVICE...]: copies the program into %ProgramFiles%\Spindwart, creates or
// replaces the service and starts it. Exit 0, 1 (not done) or 2 (bad arguments).
int install_service(int argc, char** argv);
// --uninstall: stops and deletes the service and its copy. Exit 0 or 1.
int uninstall_service();
// --service ...: what the service control manager starts.
int run_service(int argc, char** argv);
// --report [--html FILE] [LOG...]: the day report of the service's logs or of the named ones. Exit 0, 1
// (nothing to read, no drive in it, the page not written) or 2 (bad arguments).
int report_logs(int argc, char** argv);
