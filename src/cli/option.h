#ifndef LAGWATCH_CLI_OPTION_H_
#define LAGWATCH_CLI_OPTION_H_

#include <cstdint>

namespace lagwatch {

// Option kinds: the kind alone decides whether an option takes a value and how it is stored.
enum : uint32_t {
  OPT_FLAG = 0,      // no value; the int target is set to flag_value
  OPT_COUNTER = 1,   // no value; flag_value is added to the int target
  OPT_INTEGER = 2,   // signed decimal into an int32_t target
  OPT_UNSIGNED = 3,  // unsigned decimal into a uint32_t target
  OPT_STRING = 4,    // the const char* target points at the value text itself
  OPT_LIST = 5,      // an option_item with the value text is appended to the option_item* list
};

// One row of an option table. A table ends with a row whose letter is 0 and long_name null.
struct optspec {
  char letter;            // short option character; 0 = none
  const char* long_name;  // long name without "--"; null = none
  uint32_t kind;
  int flag_value;
  void* target;
  const char* help_text;     // null = none
  const char* default_text;  // shown as "(Defaults to TEXT)"; null = none
};

// One value of an OPT_LIST option; `text` is the argument's own storage.
struct option_item {
  const char* text;
  option_item* next;
};

}  // namespace lagwatch

#endif  // LAGWATCH_CLI_OPTION_H_
