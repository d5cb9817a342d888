// placeholder until the CSV reader lands
#pragma once
#include <string>
namespace cellfreq {
struct csvoptions {
  char delimiter = ',';
  std::string idcolumn = "id";
  std::string xcolumn = "x";
  std::string ycolumn = "y";
  std::string timecolumn;
  bool strict = false;
};
}
