#pragma once

#include <string_view>

// The fixed texts of the window and the start-up sequence, byte for byte. "\n" is a line
// break; the titles' separator is a middle dot (U+00B7) with a space on each side.
namespace zp::texts {

// The quit button and the menu item.
inline constexpr std::string_view kQuitTitle =
    "退出Pellwyn";
// The open button.
inline constexpr std::string_view kOpenTitle =
    "打开Pellwyn";
// The window title, connected mode.
inline constexpr std::string_view kWindowTitleConnected =
    "ZorvikPellwyn · 本机作答";
// The window title, any other mode.
inline constexpr std::string_view kWindowTitlePreview =
    "ZorvikPellwyn · macOS 本地安装预览";
// The status label until the service start replaces it.
inline constexpr std::string_view kInitialStatusText =
    "正在启动本地服务…\n不调用模型、不上传数据。关闭网页不会停止采集。";
// The first-run question, connected mode.
inline constexpr std::string_view kFirstRunMessageConnected =
    "创建独立的Zorvik工作区？";
inline constexpr std::string_view kFirstRunInformativeConnected =
    "只新建本应用的空工作区，不覆盖旧预览数据、不创建演示账号。进入网页后使用管理员提供的统一账号；此步骤不登录官网、不调用模型、不上传。";
// The first-run question, any other mode.
inline constexpr std::string_view kFirstRunMessagePreview =
    "创建独立安装预览？";
inline constexpr std::string_view kFirstRunInformativePreview =
    "只创建本应用的本地数据目录。进入网页后自行设置账号和虚构测试题；不修改已有Pellwyn，不连接模型、不上传。此版本未接正式任务后台。";
// Its buttons, in this order.
inline constexpr std::string_view kFirstRunCreateButton =
    "创建并打开";
inline constexpr std::string_view kFirstRunCancelButton =
    "取消";

}  // namespace zp::texts
