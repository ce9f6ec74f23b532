#include "common/CommandTable.h"

// Writable, zero-filled behind each text.
ServiceRecord g_serviceTable[] = {
    {L"TRUVO Kartenwacht-Dienst", L"TRUVO Kartenwacht-Dienst", L"Zentrale Komponente für Kartenwacht Plugins"},
    {L"TRUVO Kartenwacht-Basis-Dienst", L"TRUVO Kartenwacht-Basis-Dienst",
     L"Zentrale Komponente für Kartenwacht Basis-Plugins"},
    {L"", L"", L""},
};

const CommandRow g_commandTable[kCommandCount] = {
    {0, L"?", L"Hilfe", 1},
    {1, L"START", L"VeMoHost starten", 1},
    {2, L"STARTWITHOUTDAEMON", L"VeMoHost ohne Daemon-Mode starten", 1},
    {3, L"STOP", L"VeMoHost stoppen", 1},
    {4, L"STARTPURE", L"VeMoHost-Hilfsprozess starten", 1},
    {5, L"STOPPURE", L"VeMoHost-Hilfsprozess stoppen", 1},
    {6, L"STARTSERVICE", L"Kartenwacht-Dienst starten (Admin-Rechte!)", 1},
    {7, L"STOPSERVICE", L"Kartenwacht-Dienst stoppen (Admin-Rechte!)", 1},
    {8, L"RESTARTSERVICE", L"Kartenwacht-Dienst stoppen und starten (Admin-Rechte!)", 1},
    {9, L"STARTBASESERVICE", L"Kartenwacht-Basis-Dienst starten (Admin-Rechte!)", 1},
    {10, L"STOPBASESERVICE", L"Kartenwacht-Basis-Dienst stoppen (Admin-Rechte!)", 1},
    {11, L"RESTARTBASESERVICE", L"Kartenwacht-Basis-Dienst stoppen und starten (Admin-Rechte!)", 1},
    {12, L"STOPALL", L"Alle VeMoHost-Prozesse incl. Services stoppen (Admin-Rechte!)", 1},
};
