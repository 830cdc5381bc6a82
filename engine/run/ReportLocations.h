#pragma once

// The location texts of the procedures that report failures. Users quote them in support mails,
// so they stay exactly as they are, trailing blank included.
namespace pellatrix::locations {

inline constexpr const char* kPushButton1 = "in Morvane2021/08/31.Form1.PushButton1_Click ";
inline constexpr const char* kPushButton2 = "in Morvane2021/08/31.Form1.PushButton2_Click ";
inline constexpr const char* kPushButton3 = "in Morvane2021/08/31.Form1.PushButton3_Click ";
inline constexpr const char* kPushButton4 = "in Morvane2021/08/31.Form1.PushButton4_Click ";
inline constexpr const char* kFormLoad = "in Morvane2021/08/31.Form1.Form_Load ";
inline constexpr const char* kPushButton5 = "in Morvane2021/08/31.Form1.PushButton5_Click ";
inline constexpr const char* kPushButton6 = "in Morvane2021/08/31.Form1.PushButton6_Click ";
inline constexpr const char* kPushButton7 = "in Morvane2021/08/31.Form1.PushButton7_Click ";
inline constexpr const char* kGetSubDirectories2016 =
    "in Orrindel2021/08/31.AddFolder.GetSubDirectories2016 ";

}  // namespace pellatrix::locations
