#include "commands/commands.h"
#include "commands/descriptor.h"
#include "platform/text.h"

namespace zorlek {
namespace {

// One line of the listing. The object and the descriptor live only for this line, so a
// long listing never holds more than one object at a time.
void printListLine(ServiceManager& serviceManager, uint32_t index, const String16& name) {
    sp<IBinder> object = serviceManager.lookupService(name);
    aout << index << "\t" << narrowForDisplay(name) << ": [";
    String16 descriptor = fetchInterfaceDescriptor(object);
    aout << narrowForDisplay(descriptor) << "]" << endl;
}

}  // namespace

void runList(ToolState& state) {
    Vector<String16> names = state.serviceManager->listServiceNames();
    aout << "Found " << static_cast<uint32_t>(names.size()) << " services:" << endl;
    for (size_t i = 0; i < names.size(); ++i) {
        printListLine(*state.serviceManager, static_cast<uint32_t>(i), names[i]);
    }
}

}  // namespace zorlek
