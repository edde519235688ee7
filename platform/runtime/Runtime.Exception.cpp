#include "Runtime.Exception.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace Runtime {

namespace {

// "std::__cxx11::basic_string<...>::x" style names: keep the last component outside any
// template argument list.
std::string WithoutNamespaces(const std::string& Name) {
    int Depth = 0;
    std::size_t Start = 0;
    for (std::size_t i = 0; i < Name.size(); ++i) {
        char C = Name[i];
        if (C == '<')
            ++Depth;
        else if (C == '>')
            --Depth;
        else if (Depth == 0 && C == ':' && i + 1 < Name.size() && Name[i + 1] == ':') {
            Start = i + 2;
            ++i;
        }
    }
    return Name.substr(Start);
}

}  // namespace

std::string DemangledTypeName(const std::type_info& Type) {
    int Status = 0;
    std::unique_ptr<char, void (*)(void*)> Name(
        abi::__cxa_demangle(Type.name(), nullptr, nullptr, &Status), std::free);
    return Status == 0 && Name ? std::string(Name.get()) : std::string(Type.name());
}

std::string ExceptionClassName(const std::exception& E) {
    if (auto* Own = dynamic_cast<const Exception*>(&E)) return Own->ClassName();
    return WithoutNamespaces(DemangledTypeName(typeid(E)));
}

}  // namespace Runtime
