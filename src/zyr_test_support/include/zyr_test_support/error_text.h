// The message of an exception, for tests that pin what a refusal says.
#ifndef ZYR_TEST_SUPPORT_ERROR_TEXT_H
#define ZYR_TEST_SUPPORT_ERROR_TEXT_H

#include <string>

namespace test_support
{
// What the E that `call` throws says, or `none` when it throws nothing.
template <class E, class Call>
std::string errorText(Call&& call, const std::string& none = "no error")
{
  try
  {
    call();
  }
  catch (const E& e)
  {
    return e.what();
  }
  return none;
}
}  // namespace test_support

#endif  // ZYR_TEST_SUPPORT_ERROR_TEXT_H
