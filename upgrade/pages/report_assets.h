#pragma once
// The report page's style sheet (A4 in print) and its script (sorting,
// filtering and paging the tables from the embedded data).
extern const char REPORT_PAGE_STYLE[];
extern const char REPORT_PAGE_SCRIPT[];
