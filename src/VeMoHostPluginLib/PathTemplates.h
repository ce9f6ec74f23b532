#pragma once
// Placeholders in plug-in paths: program name, process ID, date and ConfigDB directories.
// Narrow text in the system code page, like ConfigDB.
#include <string>

enum PathTemplateKind : int {
    kPathTemplateProgramName = 10,
    kPathTemplateProcessId = 11,
    kPathTemplateCategory = 20,
    kPathTemplateDateYearFirst = 30,
    kPathTemplateDateDayFirst = 31,
    kPathTemplateTraceLogDir = 40,
    kPathTemplateLogDir = 41,
    kPathTemplateKonfigDir = 50,
    kPathTemplateProgramDir = 60,
};

// Replaces every known placeholder in strPath; marks are found regardless of case. Always true.
bool ExpandPathTemplates(std::string& strPath, const std::string& strCategory);

// The value of one placeholder kind; false only for a kind the table does not hold.
bool ExpandPathTemplate(int iKind, const std::string& strCategory, const std::string& strArgument,
                        std::string& strValue);
