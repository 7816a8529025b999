#pragma once

#include <libxml/parser.h>

namespace platform {

// A push parser that sends the handler's events with userData, the given options set (XML_PARSE_*),
// libxml2 initialised first, once in the process; null when it cannot be made. The caller frees it
// with xmlFreeParserCtxt. Any thread.
xmlParserCtxtPtr createXmlPushParser(xmlSAXHandler &handler, void *userData, int options);

// Feeds one chunk to a libxml2 push parser, as xmlParseChunk does, with libxml2's generic error
// function silenced on this thread for the call. libxml2 reports some faults of its input (bytes
// its decoder cannot convert, an encoder failing in mid-stream) through that function, which prints
// to stderr, beside the context's own error; input from a server or a file must not write what it
// provokes into the program's output. A decoding failure, which libxml2 reports to the thread alone
// and acts on only at the next chunk, makes the call answer XML_ERR_INVALID_ENCODING at once; the
// thread's last error (xmlGetLastError, reset before the call) then says what went wrong, as the
// context's error does for the others. Any thread; the previous function is restored before it
// returns.
int parseXmlChunk(xmlParserCtxtPtr context, const char *bytes, int length, bool terminate);

} // namespace platform
