#include "common/split_token.h"

#include <cstring>

namespace quarv {

char* SplitToken(char* line) {
  char* blank = std::strchr(line, ' ');
  if (blank == nullptr) return nullptr;
  *blank = '\0';
  return blank + 1;
}

}  // namespace quarv
