// Acting as the logged-on user: the calling thread takes on the identity of the user who owns
// the desktop shell, for the length of one command.
#pragma once

// start = true begins, false ends (one end reverts whatever impersonation is in force). Does
// nothing below Windows Vista. Returns true on success; callers go on either way.
bool ActAsRealUser(bool start);

// The command frame: begin or end acting as the logged-on user when #REALUSER# is exactly 1.
// BeginRealUser returns whether the thread now acts as that user.
bool BeginRealUser(void);
void EndRealUser(void);
