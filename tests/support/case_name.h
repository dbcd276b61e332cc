// Test names made from the descriptions in a table of cases.
#pragma once

#include <ctype.h>

#include <string>

#include <gtest/gtest.h>

// A case's description with every run of characters other than letters and
// digits turned into one underscore: a valid, readable test name.
inline std::string case_name(const char *description) {
    std::string name;
    for (const char *s = description; *s; s++) {
        if (isalnum((unsigned char)*s))
            name += *s;
        else if (!name.empty() && name.back() != '_')
            name += '_';
    }
    while (!name.empty() && name.back() == '_') name.pop_back();
    return name;
}

// For INSTANTIATE_TEST_SUITE_P over cases that carry their description in
// a field `what`.
struct named_by_what {
    template <class Case>
    std::string operator()(const testing::TestParamInfo<Case> &info) const {
        return case_name(info.param.what);
    }
};
