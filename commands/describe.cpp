// SPDX-License-Identifier: Apache-2.0
#include "commands/commands.h"
#include "commands/typed_service.h"
#include "idl/printer.h"
#include "platform/text.h"

namespace zorlek {

void runDescribe(ToolState& state) {
    TypedService typed;
    if (!obtainInterface(state, state.arg(), state.option("--interface"), &typed)) return;
    // The canonical text, a declaration a line, every interface of the description (the
    // service's first when it answered it); its doc comments came from elsewhere, so every
    // line is escaped as list escapes names.
    std::u16string text = idl::printDescription(typed.description);
    std::u16string_view rest = text;
    while (!rest.empty()) {
        size_t end = rest.find(u'\n');
        aout << narrowForDisplay(String16(std::u16string(rest.substr(0, end)))) << endl;
        rest.remove_prefix(end == std::u16string_view::npos ? rest.size() : end + 1);
    }
}

}  // namespace zorlek
