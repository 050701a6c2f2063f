#pragma once

#include <string_view>

// The fixed texts that supervision shows, byte for byte. "\n" is a line break.
namespace zp::texts {

// While the service is being started.
inline constexpr std::string_view kStartingText =
    "正在检查并启动本地Pellwyn…\n不登录官网、不调用模型、不上传。";
// The runtime could not be launched.
inline constexpr std::string_view kLaunchFailedText =
    "内置运行时无法启动。请保留安装包并检查，不会改用系统 Python。";
// The output broke the size limit.
inline constexpr std::string_view kRejectedOutputText =
    "启动状态输出异常；不会打开未知地址。请退出并保留现场。";
// An accepted ready address, connected mode.
inline constexpr std::string_view kStartedTextConnected =
    "本地Pellwyn已启动。\n使用官网统一账号领取任务，CLI 与采集在本机运行。\n请正常结束 CLI 并等待采集/打包完成，再退出本应用。";
// An accepted ready address, any other mode.
inline constexpr std::string_view kStartedTextPreview =
    "本地预览已启动。请在网页设置账号与中转。\n请先结束 CLI 并等待保存，再退出。此预览未接正式任务后台。";
// The service refused to stop for now.
inline constexpr std::string_view kBusyText =
    "仍有网页请求、采集或打包工作未结束，或状态尚不能确认，已阻止退出。\n请等待当前操作完成；若 CLI 仍在运行，先正常结束并等待保存/打包。不要强制退出或删除锁文件。";
// The reconnect alert.
inline constexpr std::string_view kReconnectMessage =
    "应用版本或位置发生了变化";
inline constexpr std::string_view kReconnectInformative =
    "不会自动重跑模型或绕过检查。请先正常结束本地 CLI 和采集/打包任务，再明确执行完整检查。仍有任务占用时检查会拒绝继续；不要删锁或强杀进程。";
// Its first button: the cold restart.
inline constexpr std::string_view kReconnectColdStartButton =
    "已结束任务，完整检查后打开";
// Its second button.
inline constexpr std::string_view kReconnectQuitButton =
    "保留现场并退出";
// The failure alert.
inline constexpr std::string_view kFailureMessage =
    "Pellwyn未启动";
// The workspace is in use.
inline constexpr std::string_view kFailureInUseInformative =
    "这个工作区已有服务、采集进程或备份在使用。请使用原来的窗口，不要删除锁文件或重新创建工作区。";
// Every other failure.
inline constexpr std::string_view kFailureInformative =
    "运行环境或工作区检查未通过，已有数据保留。不会改用系统 Python、接管旧预览目录、重复初始化或自动重试。请保留应用与工作区进行检查。";
// A quit request was passed to the service.
inline constexpr std::string_view kQuitCheckingText =
    "正在检查是否可以安全退出…";

}  // namespace zp::texts
