#include "common/uOVException.h"

#include <cxxabi.h>
#include <memory>
#include <typeinfo>

QString ExceptionClassName(const std::exception& E) {
    if (const auto* e = dynamic_cast<const Exception*>(&E))
        return e->ClassName();
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(
        abi::__cxa_demangle(typeid(E).name(), nullptr, nullptr, &status), std::free);
    return QString::fromLatin1(status == 0 && name ? name.get() : typeid(E).name());
}

QString ExceptionMessage(const std::exception& E) {
    if (const auto* e = dynamic_cast<const Exception*>(&E))
        return e->Message();
    return QString::fromLocal8Bit(E.what());
}
