/*
 * Win32Fixture.h - a fresh world with one loopback-plug port COM1 for each
 * test of the Win32 layer, and helpers to open it either way.
 */
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Runtime.h"

class Win32Fixture : public ::testing::Test {
protected:
    void SetUp() override { World("add loopback-plug PortName=\"COM1\"\n"); }
    void TearDown() override
    {
        for (HANDLE H : Opened) CloseHandle(H);
    }
    void World(const std::string &Scenario) { ASSERT_EQ(brisum_w32::ResetWorld(Scenario), ""); }
    HANDLE Open(const char *Name = "COM1", bool Overlapped = false)
    {
        HANDLE H = CreateFileA(Name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               Overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
        if (H != INVALID_HANDLE_VALUE) Opened.push_back(H);
        return H;
    }
    /* Opens COM1 and sets its line from a mode string ("baud=9600 ..."). */
    HANDLE OpenWithMode(const char *Mode)
    {
        HANDLE H = Open();
        DCB D{};
        D.DCBlength = sizeof D;
        EXPECT_TRUE(BuildCommDCBA(Mode, &D)) << Mode;
        EXPECT_TRUE(SetCommState(H, &D)) << Mode;
        return H;
    }
    void Forget(HANDLE H) { std::erase(Opened, H); }
    static void Timeouts(HANDLE H, DWORD Interval, DWORD Multiplier, DWORD Constant)
    {
        COMMTIMEOUTS T{Interval, Multiplier, Constant, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(H, &T));
    }
    /* The driver's names of the control requests sent since the last clear. */
    static std::vector<std::string> Ioctls()
    {
        std::vector<std::string> Names;
        for (const auto &R : brisum_w32::IoctlLog()) Names.push_back(brisum_w32::IoctlName(R.Code));
        return Names;
    }
    static std::vector<std::uint8_t> LastInput(DWORD Code)
    {
        auto Log = brisum_w32::IoctlLog();
        for (auto It = Log.rbegin(); It != Log.rend(); ++It)
            if (It->Code == Code) return It->Input;
        return {};
    }
    std::vector<HANDLE> Opened;
};

constexpr DWORD SerialIoctl(DWORD Function)
{
    return CTL_CODE(FILE_DEVICE_SERIAL_PORT, Function, METHOD_BUFFERED, FILE_ANY_ACCESS);
}
