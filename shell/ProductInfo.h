#pragma once

// The product's fixed facts, kept in one place so a rebranding touches one file.
namespace pellatrix::product {

inline constexpr const char* kProductName = "Pellatrix";
inline constexpr const char* kOrganisation = "Quennet";
/// The maker's home page, opened on about one start in a hundred.
inline constexpr const char* kHomePage = "https://www.quennet.example/pellatrix/";
/// Shown at the end of every error report.
inline constexpr const char* kSupportAddress = "support@quennet.example";

}  // namespace pellatrix::product
