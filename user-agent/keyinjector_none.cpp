#include "keyinjector.h"

std::unique_ptr<KeyInjector> createPlatformKeyInjector(std::string *whyNot)
{
    if (whyNot)
        *whyNot = "this build has no keyboard backend for the platform";
    return nullptr;
}
