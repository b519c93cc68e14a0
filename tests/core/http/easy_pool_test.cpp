// Reused easy handles come back with every option at its default.
#include <gtest/gtest.h>

#include <vector>

#include "http/easy_pool.h"

namespace halyard {
namespace {

TEST(EasyPool, GivenBackHandleIsReusedWithItsOptionsReset) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    EasyPool pool;
    CURL* first = pool.take();
    ASSERT_NE(first, nullptr);
    int marker = 0;
    char errors[CURL_ERROR_SIZE];
    curl_easy_setopt(first, CURLOPT_PRIVATE, &marker);
    curl_easy_setopt(first, CURLOPT_ERRORBUFFER, errors);
    curl_easy_setopt(first, CURLOPT_URL, "http://127.0.0.1:1/");
    pool.give_back(first);
    EXPECT_EQ(pool.kept(), 1u);

    CURL* again = pool.take();
    EXPECT_EQ(again, first);
    EXPECT_EQ(pool.kept(), 0u);
    void* stored = &marker;
    ASSERT_EQ(curl_easy_getinfo(again, CURLINFO_PRIVATE, &stored), CURLE_OK);
    EXPECT_EQ(stored, nullptr);
    // No URL any more: a transfer on it cannot start.
    EXPECT_EQ(curl_easy_perform(again), CURLE_URL_MALFORMAT);
    pool.give_back(again);
}

TEST(EasyPool, KeepsAtMostItsBoundAndIgnoresNull) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    EasyPool pool;
    pool.give_back(nullptr);
    EXPECT_EQ(pool.kept(), 0u);
    std::vector<CURL*> handles;
    for (size_t i = 0; i < EasyPool::kKept + 4; ++i) handles.push_back(pool.take());
    for (CURL* easy : handles) pool.give_back(easy);
    EXPECT_EQ(pool.kept(), EasyPool::kKept);
    pool.clear();
    EXPECT_EQ(pool.kept(), 0u);
}

}  // namespace
}  // namespace halyard
