#include "XmlChunk.h"

#include <libxml/xmlerror.h>

#include <mutex>

namespace platform {

namespace {

void dropGenericError(void *, const char *, ...)
{
}

} // namespace

xmlParserCtxtPtr createXmlPushParser(xmlSAXHandler &handler, void *userData, int options)
{
    static std::once_flag initialised;
    std::call_once(initialised, [] { xmlInitParser(); });
    const xmlParserCtxtPtr context = xmlCreatePushParserCtxt(&handler, userData, nullptr, 0, nullptr);
    if (context != nullptr)
        xmlCtxtUseOptions(context, options);
    return context;
}

int parseXmlChunk(xmlParserCtxtPtr context, const char *bytes, int length, bool terminate)
{
    // The generic function and its context are per thread in libxml2.
    const xmlGenericErrorFunc previous = xmlGenericError;
    void *const previousContext = xmlGenericErrorContext;
    xmlSetGenericErrorFunc(nullptr, &dropGenericError);
    // The thread's last error then speaks of this call alone.
    xmlResetLastError();
    int result = xmlParseChunk(context, bytes, length, terminate ? 1 : 0);
    xmlSetGenericErrorFunc(previousContext, previous);
    // Bytes the decoder cannot convert are reported to the thread alone, and the parser goes on
    // without them until the next chunk: the text is not what was sent, so it fails now.
    const xmlError *const error = xmlGetLastError();
    if (result == 0 && error != nullptr && error->code != XML_ERR_OK
        && (error->domain == XML_FROM_I18N || error->domain == XML_FROM_IO))
        result = XML_ERR_INVALID_ENCODING;
    return result;
}

} // namespace platform
