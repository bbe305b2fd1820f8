#pragma once
// Runs a test suite once on SQLite and once on PostgreSQL.
#include "ServerTestSupport.h"

#include <gtest/gtest.h>

namespace servertest {

inline std::string storeParamName(const ::testing::TestParamInfo<Backend>& param) {
    return backendName(param.param);
}

} // namespace servertest

#define COLLOQ_ON_BOTH_STORES(suite)                                                                                   \
    INSTANTIATE_TEST_SUITE_P(Stores, suite,                                                                            \
                             ::testing::Values(servertest::Backend::Sqlite, servertest::Backend::Postgres),            \
                             servertest::storeParamName)
