#include "io/AovFormat.h"

#include "foundation/Logger.h"

namespace Quorvel::Phase::inline v2_0 {

uint64_t aovNaturalSize(AOVType type)
{
    switch (type) {
    case AOV_Byte: return 1;
    case AOV_Int: return 4;
    case AOV_Double: return 8;
    case AOV_RGB: return 12;
    case AOV_RGBA: return 16;
    case AOV_Vector3: return 12;
    case AOV_Vector2: return 8;
    }
    return 0;
}

} // namespace Quorvel::Phase::inline v2_0

namespace Quorvel::BinIO::inline v2_0 {

void AovFormat::registerAov(const int32_t& alias, const std::string& name, const Phase::AOVType& type)
{
    if (aliases.count(alias) != 0) {
        Logger::QvOutputLogString(Logger::WARNING,
                                  "Adding twice the same AOV alias (while trying to register %s as %d\n",
                                  name.c_str(), alias);
        return;
    }
    const uint64_t index = types.size();
    types.push_back(type);
    names.push_back(name);
    aliases[alias] = index;

    // A host channel carrying a reserved name also answers to the reserved
    // alias; emplace never replaces an alias already mapped.
    if (name == "qvlVelocity" && alias != kAliasVelocity)
        aliases.emplace(kAliasVelocity, index);
    if (name == "qvlTransp" && alias != kAliasTransparency)
        aliases.emplace(kAliasTransparency, index);
    if (name == "Cd_Right" && alias != kAliasRightColor)
        aliases.emplace(kAliasRightColor, index);

    ++count;
    const uint64_t size = Phase::aovNaturalSize(type);
    if (size == 0)
        Logger::QvOutputLogCStr(Logger::ERROR, "Unknown AOV type\n");
    byteSize += size;
}

uint64_t AovFormat::getIndex(const int32_t& alias) const
{
    const auto it = aliases.find(alias);
    if (it == aliases.end()) {
        Logger::QvOutputLogString(Logger::ERROR,
                                  "Trying to access AOV with alias %d while it hasn't been registered\n", alias);
        return kNoAovIndex;
    }
    return it->second;
}

bool AovFormat::HasAOV(const int32_t& alias) const
{
    return aliases.count(alias) != 0;
}

bool AovFormat::HasAOV(const std::string& name) const
{
    for (const auto& registered : names)
        if (registered == name)
            return true;
    return false;
}

void AovFormat::clear()
{
    types.clear();
    names.clear();
    aliases.clear();
    count = 0;
    byteSize = 0;
}

bool AovFormat::isEmpty() const
{
    return count == 0;
}

} // namespace Quorvel::BinIO::inline v2_0
