#include "operations.h"

#include <cerrno>
#include <malloc.h>
#include <new>
#include <stdexcept>

#include "delivery_recorder.h"
#include "front_end.h"
#include "input_validator.h"
#include "method_call.h"
#include "pipelined_output.h"
#include "policy_loader.h"
#include "policy_manager.h"
#include "read_ahead.h"
#include "shared_constants.h"
#include <tavopolicysync/log.h>

namespace {

constexpr bool dynamicChangeFlag = true;

// Why a directory run failed, as the operator reads it.
void logDirectoryFailure(int result)
{
    switch (result) {
    case FileCompileError: TAVO_ERROR("#ERROR: 处理策略文件失败，存在语法编译错误"); break;
    case DirectoryClearFailed: TAVO_ERROR("#ERROR: 处理策略文件失败，数据构造错误"); break;
    case DirectoryWithoutPolicy: TAVO_ERROR("#ERROR: 处理策略文件失败，不存在以.p或.policy结尾的有效策略文件"); break;
    default: TAVO_ERROR("#ERROR: 处理策略文件失败，错误信息为 %d \n", result); break;
    }
}

void logSendResult(int rc)
{
    if (rc == 0)
        TAVO_INFO("#INFO: 策略同步成功");
    else if (const KernelResultText *text = kernelResultText(rc))
        TAVO_ERROR("#ERROR: 策略同步失败，%s", text->chinese);
    else
        TAVO_ERROR("#ERROR: 策略同步失败，错误码为 %d, 查看日志获取更多信息\n", rc);
}

} // namespace

int Operations::processPolicyDirectory(bool initFunctions, const ImageTarget &target)
{
    const int result = runDirectory(initFunctions, target);
    // The second thread's heap keeps what the run freed there (the
    // expansion's storage), where the image compiled next on this thread
    // cannot reuse it: it is given back.
    malloc_trim(0);
    return result;
}

int Operations::runDirectory(bool initFunctions, const ImageTarget &target)
{
    // Resolved once: a directory whose link target moves later is refused.
    static const std::string prefix = canonicalDirectoryPrefix(policyDirectoryPath);
    PolicyDirectoryRun run;
    run.directory = policyDirectoryPath;
    run.prefix = prefix;
    run.stopAtFirstFailure = true;
    // The library takes each file on a second thread while the next file
    // is read and parsed; it expands the rules there, in storage of its
    // own, and writes no line there but when memory runs out. The identity
    // is taken here, on the way.
    LibraryOutput library;
    PipelinedOutput pipelined(library, PipelinedOutput::Next::Library);
    run.onSource = recorder_.startCompile(pipelined);
    // Ends the recorder's part before the outputs it hands on to go.
    struct CompileEnd {
        DeliveryRecorder &recorder;
        ~CompileEnd() { recorder.endCompile(); }
    } compileEnd{recorder_};
    // The read-ahead is the step before a large file is expanded; it asks
    // the library its queries, after everything handed to it.
    ExpansionGate gate([&run, &target, &pipelined] {
        TAVO_INFO("###INFO: 策略文件展开后的记录较多，先检查全部策略是否在内核模块的限制之内");
        pipelined.beforeLibraryQuery();
        std::string error;
        if (readAheadLimits(run, target, error) == 0)
            return true;
        TAVO_ERROR("###ERROR: 策略超出内核模块的限制，拒绝编译: %s", error.c_str());
        return false;
    });
    run.gate = &gate;
    int result;
    {
        // The parse state lives for this run only.
        FrontEnd frontEnd(recorder_.output());
        result = ::processPolicyDirectory(frontEnd, run, initFunctions);
    }
    // What the last file's rules failed with on the second thread fails
    // the run, and nothing of it stays with the library.
    try {
        pipelined.finish();
        return result;
    } catch (const std::bad_alloc &) {
    } catch (const std::length_error &) {
    }
    recorder_.output().clearAllPolicy();
    TAVO_ERROR("##ERROR: 处理策略目录%s时内存不足，已清除全部策略", run.directory.c_str());
    return result != 0 ? result : FileUnusable;
}

int Operations::compileAll(const CallerIdentity &caller, bool initial)
{
    TAVO_INFO("%s", initial ? "#INFO: 开始初始化策略编译" : "#INFO: 开始全量策略编译");
    const tavo_image::ImageKind kind = initial ? tavo_image::ImageKind::Initial : tavo_image::ImageKind::Full;
    const int r = processPolicyDirectory(false, ImageTarget{kind, {}, {}});
    // Refused ahead, as the compile would have refused it.
    if (r == DirectoryOverModuleLimits) {
        TAVO_ERROR("#ERROR: 策略编译失败，数据解析错误");
        return MethodCompileFailed;
    }
    if (r != 0) {
        logDirectoryFailure(r);
        return r;
    }
    TAVO_INFO("#INFO: 策略文件处理成功");
    if ((initial ? policyManager().compileInitData() : policyManager().compileData()) != 0) {
        TAVO_ERROR("#ERROR: 策略编译失败，数据解析错误");
        return MethodCompileFailed;
    }
    TAVO_INFO("#INFO: 策略文件编译成功");
    return recorder_.compiled(initial ? DeliveryRecorder::CompileKind::Initial : DeliveryRecorder::CompileKind::Full,
                              caller.uid, MethodSucceeded);
}

int Operations::compileSection(const CallerIdentity &caller, const std::string &ns, const std::string &section)
{
    TAVO_INFO("#INFO: 开始增量策略编译");
    if (const int invalid = validate_name_param(ns, nameLengthLimit, nsLabel)) {
        TAVO_ERROR("%s", nsRefused);
        return invalid;
    }
    if (const int invalid = validate_name_param(section, nameLengthLimit, secLabel)) {
        TAVO_ERROR("%s", secRefused);
        return invalid;
    }
    const int r = processPolicyDirectory(true, ImageTarget{tavo_image::ImageKind::Section, ns, section});
    // Refused ahead, with the library's answer to a policy the module would
    // not take.
    if (r == DirectoryOverModuleLimits)
        return EINVAL;
    if (r != 0) {
        logDirectoryFailure(r);
        return r;
    }
    TAVO_INFO("#INFO: 策略文件处理成功");
    return recorder_.sectionCompiled(ns, section, caller.uid, policyManager().compileSectionPolicy(ns, section));
}

int Operations::deliver(const CallerIdentity &caller)
{
    TAVO_INFO("#INFO: 开始策略同步");
    return recorder_.send(caller.uid, [] {
        const int rc = policyManager().sendPolicy();
        logSendResult(rc);
        return rc;
    });
}

int Operations::modifyVariable(const CallerIdentity &caller, const std::string &ns, const std::string &var,
                               int32_t value)
{
    if (static_cast<uint32_t>(value) > 1) {
        TAVO_ERROR("#ERROR: modifyDynamicVariable var_value invalid, must be 0 or 1, received %d", value);
        return MethodRefusedInput;
    }
    if (validate_name_param(ns, nameLengthLimit, nsLabel) != 0) {
        TAVO_ERROR("%s", varNsRefused);
        return MethodRefusedInput;
    }
    if (validate_name_param(var, nameLengthLimit, varLabel) != 0) {
        TAVO_ERROR("%s", varRefused);
        return MethodRefusedInput;
    }
    return recorder_.changeDynamic(ns, var, static_cast<uint32_t>(value), caller.uid, [&] {
        const int rc =
            policyManager().modifyDynamicVariable(ns, var, static_cast<uint32_t>(value), dynamicChangeFlag);
        if (rc != 0)
            TAVO_INFO("#INFO: 修改动态变量[%s:%s] = %d 失败", ns.c_str(), var.c_str(), value);
        else
            TAVO_INFO("#INFO: 修改动态变量[%s:%s] = %d 成功", ns.c_str(), var.c_str(), value);
        return rc;
    });
}
