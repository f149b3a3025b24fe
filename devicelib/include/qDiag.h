// Diagnostics of the device library. The library prints nothing itself: a
// note an application may want in its diagnostic log (a USB interface that
// could not be released, a file a tree removal could not unlink) goes to one
// handler the application sets. Without a handler the notes are dropped.
//
// Threads: every function may be called from any thread; the handler runs on
// the thread that made the note (a link's input or output thread among them)
// and must not call qDiag_SetHandler. A handler replaced while a note is on
// its way may still receive that note.
#pragma once

typedef void (*qDiagHandler)(const char* line, void* ref);

// Sets the handler and its reference; null drops every note (the default).
void qDiag_SetHandler(qDiagHandler handler, void* ref);

// Formats one note (no newline) and hands it to the handler, if one is set.
// Notes longer than 511 characters are cut.
void qDiag_Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
