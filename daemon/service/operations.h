// The five policy operations, run on the worker for an authorised caller,
// and their recording through the delivery recorder. Each returns the
// method's result code and logs its own lines.
#ifndef TAVO_OPERATIONS_H
#define TAVO_OPERATIONS_H

#include <cstdint>
#include <string>

class DeliveryRecorder;
struct ImageTarget;

// The authorised caller of a policy operation.
struct CallerIdentity {
    uint32_t uid;
    std::string sender;
};

// The name arguments as validate_name_param names them, and the methods'
// lines when one is refused (on arrival or when the operation runs).
constexpr char nsLabel[] = "命名空间名称(ns_name)";
constexpr char secLabel[] = "策略段名称(sec_name)";
constexpr char varLabel[] = "变量名称(var_name)";
constexpr char nsRefused[] = "#ERROR: compileSectionPolicy 输入校验失败，ns_name不合法";
constexpr char secRefused[] = "#ERROR: compileSectionPolicy 输入校验失败，sec_name不合法";
constexpr char varNsRefused[] = "#ERROR: modifyDynamicVariable 输入校验失败，ns_name不合法";
constexpr char varRefused[] = "#ERROR: modifyDynamicVariable 输入校验失败，var_name不合法";

class Operations {
public:
    // Records every compile and delivery in `recorder`, which outlives it.
    explicit Operations(DeliveryRecorder &recorder) : recorder_(recorder) {}

    // compilePolicy (`initial` false) and compileInitPolicy (true).
    int compileAll(const CallerIdentity &caller, bool initial);
    int compileSection(const CallerIdentity &caller, const std::string &ns, const std::string &section);
    int deliver(const CallerIdentity &caller);
    int modifyVariable(const CallerIdentity &caller, const std::string &ns, const std::string &var, int32_t value);

private:
    // The directory run of a compile towards `target` (DirectoryOverModuleLimits
    // when the run, read ahead, is beyond what the module takes).
    int processPolicyDirectory(bool initFunctions, const ImageTarget &target);
    // The run itself, with the library on a second thread that has ended
    // when it returns.
    int runDirectory(bool initFunctions, const ImageTarget &target);

    DeliveryRecorder &recorder_;
};

#endif
