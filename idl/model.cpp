// SPDX-License-Identifier: Apache-2.0
#include "idl/model.h"

namespace zorlek::idl {

const Method* Interface::findMethod(std::string_view wanted) const {
    for (const Method& method : methods) {
        if (method.name == wanted) return &method;
    }
    return nullptr;
}

const Method* Interface::findMethod(uint32_t code) const {
    for (const Method& method : methods) {
        if (method.code == code) return &method;
    }
    return nullptr;
}

const Interface* Description::find(std::string_view wanted) const {
    for (const Interface& interface : interfaces) {
        if (interface.name == wanted) return &interface;
    }
    return nullptr;
}

uint32_t depthOf(const Interface& interface, const Type& type) {
    return type.arrays + (type.kind == Kind::kRecord ? interface.records[type.index].depth : 1);
}

std::string typeName(const Interface& interface, const Type& type) {
    std::string name;
    switch (type.kind) {
        case Kind::kI32:
            name = "i32";
            break;
        case Kind::kI64:
            name = "i64";
            break;
        case Kind::kBool:
            name = "bool";
            break;
        case Kind::kS16:
            name = "s16";
            break;
        case Kind::kNullableS16:
            name = "s16?";
            break;
        case Kind::kBytes:
            name = "bytes";
            break;
        case Kind::kRecord:
            name = interface.records[type.index].name;
            break;
        case Kind::kInterface:
            name = interface.interfaceTypes[type.index];
            break;
    }
    for (uint32_t i = 0; i < type.arrays; ++i) name += "[]";
    return name;
}

}  // namespace zorlek::idl
