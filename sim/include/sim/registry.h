// The registry: keys under \Registry, names compared without regard to
// case, values of any type. Tests preset keys and values here before the
// driver runs and read back what it stored. Paths are full, such as
// "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim::registry {

// Present in every world: \Registry\Machine with its System and Software
// keys, and the class root below.
constexpr char kClassRoot[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class";

struct Value {
    uint32_t type;
    std::vector<uint8_t> data;
};

// Creates the key and every missing key above it.
void CreateKey(const std::string &path);
bool KeyExists(const std::string &path);
// Removes the key with everything below it.
void DeleteKey(const std::string &path);

// Sets a value, creating its key when needed.
void SetValue(const std::string &key, const std::u16string &name, uint32_t type, std::vector<uint8_t> data);
void SetDword(const std::string &key, const std::u16string &name, uint32_t value);
// REG_SZ: the text and a terminating NUL.
void SetString(const std::string &key, const std::u16string &name, const std::u16string &text);

std::optional<Value> GetValue(const std::string &key, const std::u16string &name);
// The descriptor the key was created with, self-relative; none when it
// was created without one (it then inherits from its parent).
std::optional<std::vector<uint8_t>> KeySecurity(const std::string &path);

// Registry handles open now.
size_t OpenKeyHandles();

// Back to the keys every world starts with; part of ResetWorld.
void Reset();

}  // namespace sim::registry
