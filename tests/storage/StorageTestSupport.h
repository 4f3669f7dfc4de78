#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "foundation/KrException.h"

// The message of the KrException that call throws, or "" when it throws none.
template <class Call>
std::string thrownBy(Call call) {
    try {
        call();
    } catch (const KrException& e) {
        return e.what();
    }
    return "";
}

// Runs each test in a fresh temporary directory as the current directory, since the
// storage finds its application and project files relative to it. Each test is its own
// process under ctest, so changing the directory touches no other test.
class InTemporaryDirectory : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/gridlo-storage-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory_ = pattern;
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(directory_);
    }

    void TearDown() override {
        std::filesystem::current_path(previous_);
        std::filesystem::remove_all(directory_);
    }

    static void writeFile(const std::filesystem::path& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }

    std::filesystem::path directory_;
    std::filesystem::path previous_;
};
