// Registration of the package's component.
#include "component/PellanTN3270.h"

#include "component/uTn3270E.h"
#include "platform/uComponent.h"

void Register()
{
    TComponentClassInfo info;
    info.ClassName = "TTn3270E";
    info.Factory = [](TComponent* owner) -> std::unique_ptr<TComponent> { return std::make_unique<TTn3270E>(owner); };
    RegisterComponents(kPalettePage, kPackageDescription, {std::move(info)});
}
