// What a client program can see of the running service besides its replies: the named
// mutexes it looks for, and the access list of a pipe instance. Single-threaded, like the
// rest of SimClient.
#pragma once

namespace halvaro {

// Prints "subscription_mutex=<0|1> av_mutex=<0|1>": whether each can be opened.
int PrintServiceMutexes();

// Connects to the subscription pipe ("sub") or the AV-command pipe ("av") and prints one
// line "ace type=<allow|deny> sid=<S-...> mask=0x%08X" per entry of the instance's DACL,
// then "aces=<n>". The service sees a connection that sends nothing.
int PrintPipeDacl(const wchar_t* which);

}  // namespace halvaro
