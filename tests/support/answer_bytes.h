#pragma once

#include "http/request_context.h"

#include <string>

namespace tvn::test {

// The bytes a connection sends first for the context's answer: those written when the
// request ran to its end, else the answer a stage made so far, written now (once: writing
// hands the body over).
inline std::string AnswerBytes(CRequestContext& context) {
    if (!context.OutputView().empty())
        return std::string(context.OutputView());
    COutputBuffer out;
    context.answer.WriteTo(out);
    return std::string(out.View());
}

} // namespace tvn::test
