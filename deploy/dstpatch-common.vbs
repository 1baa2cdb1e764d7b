' Shared code of the roll-out scripts for Windows Script Host 5.6 and later
' (XP SP2 to 11, nothing installed): the detection rule, the failure lines
' and outcomes of a run, write filters, the backup of what the patch
' changes, the checks of site paths and the journal.
'
' It is not shipped on its own: scripts/release puts it into each script
' that has the line "'#include dstpatch-common.vbs" (detect.vbs,
' dstpatch-startup.vbs, dstpatch-install.vbs, dstpatch-undo.vbs,
' dstpatch-report.vbs) and writes the release into Release, so that every
' script of a release folder is whole.

' The release these scripts belong to; every outcome line names it.
Const Release = "@DSTPATCH_VERSION@"

Dim shell, fso, env
Set shell = CreateObject("WScript.Shell")
Set fso = CreateObject("Scripting.FileSystemObject")
Set env = shell.Environment("PROCESS")

' ---- Files and text ----

' Where the scripts keep what they write on this machine: the journal, the
' console output of a run and (by default) the backups. Only SYSTEM and
' Administrators may use it (ProtectFolder).
Function PrivateFolder()
    PrivateFolder = env("SystemRoot") & "\dstpatch"
End Function

Function JournalPath()
    JournalPath = PrivateFolder() & "\dstpatch.log"
End Function

Function SystemTool(name)
    SystemTool = env("SystemRoot") & "\System32\" & name
End Function

Function ReadText(path)
    Dim stream
    ReadText = ""
    On Error Resume Next
    Set stream = fso.OpenTextFile(path, 1)
    If Err.Number <> 0 Then Exit Function
    If Not stream.AtEndOfStream Then ReadText = stream.ReadAll
    stream.Close
End Function

Function SplitLines(text)
    SplitLines = Split(Replace(Replace(text, vbCrLf, vbLf), vbCr, vbLf), vbLf)
End Function

' Writes TEXT into PATH (APPEND: at its end); "" when done, else why not.
Function WriteText(path, text, append)
    Dim stream, mode
    mode = 2
    If append Then mode = 8
    On Error Resume Next
    Set stream = fso.OpenTextFile(path, mode, True)
    If Err.Number = 0 Then stream.Write text
    If Err.Number = 0 Then stream.Close
    WriteText = ""
    If Err.Number <> 0 Then WriteText = "could not write " & path & ": " & Err.Description
End Function

' Makes the folder PATH and those above it; "" when it exists, else why not.
Function MakeFolder(path)
    Dim parent
    MakeFolder = ""
    If fso.FolderExists(path) Then Exit Function
    parent = fso.GetParentFolderName(path)
    If parent <> "" And parent <> path Then MakeFolder = MakeFolder(parent)
    If MakeFolder <> "" Then Exit Function
    On Error Resume Next
    fso.CreateFolder path
    If Err.Number <> 0 Then MakeFolder = "could not make the folder " & path & ": " & Err.Description
End Function

Function CopyFile(source, target)
    CopyFile = ""
    On Error Resume Next
    fso.CopyFile source, target, True
    If Err.Number <> 0 Then CopyFile = "could not copy " & source & " to " & target & ": " & Err.Description
End Function

' Removes the file PATH; "" when it is gone, else why not.
Function RemoveFile(path)
    RemoveFile = ""
    If Not fso.FileExists(path) Then Exit Function
    On Error Resume Next
    fso.DeleteFile path, True
    If Err.Number <> 0 Then RemoveFile = "could not remove " & path & ": " & Err.Description
End Function

Function TwoDigits(number)
    TwoDigits = Right("0" & number, 2)
End Function

' A moment as digits, the same in every language of Windows.
Function Stamp(moment, dateSeparator, middle, timeSeparator)
    Stamp = Year(moment) & dateSeparator & TwoDigits(Month(moment)) & dateSeparator & TwoDigits(Day(moment)) & _
        middle & TwoDigits(Hour(moment)) & timeSeparator & TwoDigits(Minute(moment)) & timeSeparator & _
        TwoDigits(Second(moment))
End Function

Function NowStamp()
    NowStamp = Stamp(Now, "-", " ", ":")
End Function

' Runs COMMAND in FOLDER, hidden, and gives its exit status. Paths reach the
' programs it starts as their current folder, never on the command line,
' where Windows Script Host and cmd would expand a %NAME% in them; the
' programs are named by their full path in the system folder, never looked
' for in a folder (such as the site's) that users may write.
Function RunIn(folder, command)
    shell.CurrentDirectory = ShownRoot(folder)
    RunIn = shell.Run(command, 0, True)
End Function

' The same for a command line of cmd, whose output goes to the file NAME in
' the private folder (after cmd, /v:off: no ! is expanded); gives its exit
' status.
Function RunCmdIn(folder, command, name)
    RunCmdIn = RunIn(folder, """" & SystemTool("cmd.exe") & """ /d /v:off /s /c """ & command & " > """ & PrivateFolder() & "\" & name & _
        """ 2>&1""")
End Function

' ---- Site root and detection ----

' The site root without blanks or backslashes at its end ("D:" for a
' drive's root): the place of a file is the root, "\" and the file.
Function CleanRoot(path)
    CleanRoot = TrimBlanks(path)
    Do While Right(CleanRoot, 1) = "\"
        CleanRoot = Left(CleanRoot, Len(CleanRoot) - 1)
    Loop
End Function

' The site root as the program and the reader take it ("D:\" for a drive).
Function ShownRoot(root)
    ShownRoot = root
    If Len(root) = 2 And Right(root, 1) = ":" Then ShownRoot = root & "\"
End Function

' QUORDIR of this process, else the machine's as the registry holds it (a
' distribution agent or service started before QUORDIR was set does not see
' it in its environment).
Function MachineSiteRoot()
    MachineSiteRoot = TrimBlanks(env("QUORDIR"))
    If MachineSiteRoot <> "" Then Exit Function
    On Error Resume Next
    MachineSiteRoot = shell.RegRead("HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment\QUORDIR")
    If Err.Number <> 0 Or VarType(MachineSiteRoot) <> vbString Then MachineSiteRoot = ""
    On Error GoTo 0
    ' Wine's ExpandEnvironmentStrings ends its answer with a NUL.
    If InStr(MachineSiteRoot, "%") > 0 Then
        MachineSiteRoot = Replace(shell.ExpandEnvironmentStrings(MachineSiteRoot), Chr(0), "")
    End If
End Function

' Why ROOT cannot be patched from here, or "".
Function SiteRootProblem(root)
    SiteRootProblem = ""
    If Left(root, 2) = "\\" Then
        SiteRootProblem = root & " is a network path (the site root must be on a drive of this machine)"
    ElseIf Not fso.FileExists(root & "\data\pelio.ini") Then
        SiteRootProblem = root & "\data\pelio.ini does not exist"
    End If
End Function

' The control server is the service when this value exists (the test that
' dstpatch.exe makes); else it is the manager application.
Function IsServiceSite()
    On Error Resume Next
    shell.RegRead "HKCR\AppID\{6F2B41C8-93D0-4E57-B1A2-5C7D90E3F614}\LocalService"
    IsServiceSite = (Err.Number = 0)
End Function

' The TZI value that dstpatch.exe writes for each zone (its key's name
' without " Standard Time"), in hexadecimal.
Function ZoneRecords()
    ZoneRecords = Array( _
        "Alaskan", "1C02000000000000C4FFFFFF00000B0000000100020000000000000000000300000002000200000000000000", _
        "Pacific", "E001000000000000C4FFFFFF00000B0000000100020000000000000000000300000002000200000000000000", _
        "Mountain", "A401000000000000C4FFFFFF00000B0000000100020000000000000000000300000002000200000000000000", _
        "Central", "6801000000000000C4FFFFFF00000B0000000100020000000000000000000300000002000200000000000000", _
        "Eastern", "2C01000000000000C4FFFFFF00000B0000000100020000000000000000000300000002000200000000000000", _
        "Atlantic", "F000000000000000C4FFFFFF00000B0000000100020000000000000000000300000002000200000000000000", _
        "Newfoundland", "D200000000000000C4FFFFFF00000B0000000100020000000000000000000300000002000200000000000000")
End Function
Const ZonesKey = "HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Time Zones\"
Const ActiveZoneKey = "HKLM\SYSTEM\CurrentControlSet\Control\TimeZoneInformation"

' A blank as .NET's String.Trim sees it in text read in the ANSI code page:
' tab to carriage return, space and no-break space.
Function IsBlank(character)
    Dim code
    code = Asc(character)
    IsBlank = (code >= 9 And code <= 13) Or code = 32 Or code = 160
End Function

Function TrimBlanks(value)
    Dim text, first, last
    text = value & "" ' Empty as ""
    first = 1
    last = Len(text)
    Do While first <= last
        If Not IsBlank(Mid(text, first, 1)) Then Exit Do
        first = first + 1
    Loop
    Do While last >= first
        If Not IsBlank(Mid(text, last, 1)) Then Exit Do
        last = last - 1
    Loop
    TrimBlanks = Mid(text, first, last - first + 1)
End Function

Function SameText(a, b)
    SameText = (UCase(a) = UCase(b))
End Function

' A Unicode character of a decoded file as the detection compares it: ASCII
' as it is, a blank of .NET's String.Trim (next line, no-break space, the
' Unicode spaces) as a space, anything else as a character that is neither a
' blank nor part of a name.
Function UnicodeChar(code)
    If code < 128 Then
        UnicodeChar = Chr(code)
    ElseIf code = 133 Or code = 160 Or code = 5760 Or (code >= 8192 And code <= 8202) Or code = 8232 Or _
            code = 8233 Or code = 8239 Or code = 8287 Or code = 12288 Then
        UnicodeChar = " "
    Else
        UnicodeChar = Chr(1)
    End If
End Function

' The text of a file read as bytes in the ANSI code page, decoded as UTF-16
' (little-endian when LOW is 1, big-endian when it is 2), from character
' FIRST on.
Function FromUtf16(bytes, first, low)
    Dim i, code, out
    out = ""
    For i = first To Len(bytes) - 1 Step 2
        If low = 1 Then
            code = Asc(Mid(bytes, i, 1)) + 256 * Asc(Mid(bytes, i + 1, 1))
        Else
            code = 256 * Asc(Mid(bytes, i, 1)) + Asc(Mid(bytes, i + 1, 1))
        End If
        out = out & UnicodeChar(code)
    Next
    FromUtf16 = out
End Function

' The same, decoded as UTF-8; a byte that does not belong to a character
' stands for one character of its own.
Function FromUtf8(bytes, first)
    Dim i, k, b, code, more, out
    out = ""
    i = first
    Do While i <= Len(bytes)
        b = Asc(Mid(bytes, i, 1))
        more = 0
        code = b
        If b >= 240 And b < 248 Then
            more = 3
            code = b And 7
        ElseIf b >= 224 And b < 240 Then
            more = 2
            code = b And 15
        ElseIf b >= 192 And b < 224 Then
            more = 1
            code = b And 31
        ElseIf b >= 128 Then
            code = 65533
        End If
        If i + more > Len(bytes) Then
            more = 0
            code = 65533
        End If
        For k = 1 To more
            b = Asc(Mid(bytes, i + k, 1))
            If (b And 192) <> 128 Then
                more = 0
                code = 65533
                Exit For
            End If
            code = code * 64 + (b And 63)
        Next
        out = out & UnicodeChar(code)
        i = i + 1 + more
    Loop
    FromUtf8 = out
End Function

' The byte order mark that TEXT (a file read as bytes) begins with, or "".
Function ByteOrderMark(text)
    ByteOrderMark = ""
    If Left(text, 3) = Chr(239) & Chr(187) & Chr(191) Then
        ByteOrderMark = "UTF-8"
    ElseIf Left(text, 2) = Chr(255) & Chr(254) Then
        ByteOrderMark = "UTF-16LE"
    ElseIf Left(text, 2) = Chr(254) & Chr(255) Then
        ByteOrderMark = "UTF-16BE"
    End If
End Function

' The lines of the file at PATH as .NET's File.ReadAllLines gives them with
' the ANSI code page (a byte order mark picks UTF-8 or UTF-16 instead), in
' LINES. False when the file does not exist or cannot be read.
Function ReadLines(path, lines)
    Dim stream, text
    ReadLines = False
    On Error Resume Next
    If Not fso.FileExists(path) Then Exit Function
    Set stream = fso.OpenTextFile(path, 1)
    If Err.Number <> 0 Then Exit Function
    text = ""
    If Not stream.AtEndOfStream Then text = stream.ReadAll
    If Err.Number <> 0 Then Exit Function
    stream.Close
    On Error GoTo 0
    Select Case ByteOrderMark(text)
        Case "UTF-8"
            text = FromUtf8(text, 4)
        Case "UTF-16LE"
            text = FromUtf16(text, 3, 1)
        Case "UTF-16BE"
            text = FromUtf16(text, 3, 2)
    End Select
    lines = SplitLines(text)
    ReadLines = True
End Function

' True when TIMEZONE in section QUORTECH of the file is INTL, read as Windows
' reads profile files: names and values in any letter case, blanks around
' them ignored, a value in matching quotes unquoted; only the first section
' of that name and the first TIMEZONE entry in it count.
Function IsIntlSet(path)
    Dim lines, i, text, closing, inSection, equals, name, value, last
    IsIntlSet = False
    If Not ReadLines(path, lines) Then Exit Function
    inSection = False
    For i = 0 To UBound(lines)
        text = TrimBlanks(lines(i))
        closing = InStrRev(text, "]")
        If Left(text, 1) = "[" And closing > 1 Then
            If inSection Then Exit Function
            inSection = SameText(TrimBlanks(Mid(text, 2, closing - 2)), "QUORTECH")
        ElseIf inSection Then
            equals = InStr(text, "=")
            name = text
            value = ""
            If equals > 0 Then
                name = TrimBlanks(Left(text, equals - 1))
                value = TrimBlanks(Mid(text, equals + 1))
            End If
            If SameText(name, "TIMEZONE") Then
                last = Len(value)
                If last >= 2 Then
                    If (Left(value, 1) = """" Or Left(value, 1) = "'") And Right(value, 1) = Left(value, 1) Then
                        value = Mid(value, 2, last - 2)
                    End If
                End If
                IsIntlSet = SameText(value, "INTL")
                Exit Function
            End If
        End If
    Next
End Function

' The TZI value of the zone NAME in hexadecimal; "" when it is missing or
' not binary.
Function TziDigits(name)
    Dim data, i
    TziDigits = ""
    On Error Resume Next
    data = shell.RegRead(ZonesKey & name & " Standard Time\TZI")
    If Err.Number <> 0 Then Exit Function
    On Error GoTo 0
    If Not IsArray(data) Then Exit Function
    For i = 0 To UBound(data)
        If VarType(data(i)) <> 17 Then ' a REG_BINARY value gives bytes
            TziDigits = ""
            Exit Function
        End If
        TziDigits = TziDigits & Right("0" & Hex(data(i)), 2)
    Next
End Function

' Why the registry part is not done ("" when it is): the TZI value of each
' of the seven zones holds the record that dstpatch.exe writes.
Function RegistryNotDone()
    Dim records, i
    RegistryNotDone = ""
    records = ZoneRecords()
    For i = 0 To UBound(records) Step 2
        If TziDigits(records(i)) <> records(i + 1) Then
            RegistryNotDone = "the TZI value of " & records(i) & " Standard Time is not the record that dstpatch.exe writes"
            Exit Function
        End If
    Next
End Function

' Why the site part is not done at ROOT ("" when it is): TIMEZONE=INTL in
' section QUORTECH of both pelio.ini and no timezone.ini left.
Function SiteNotDone(root)
    Dim files, i
    SiteNotDone = ""
    files = Array("\data\pelio.ini", "\newdata\pelio.ini")
    For i = 0 To UBound(files)
        If Not IsIntlSet(root & files(i)) Then
            SiteNotDone = "TIMEZONE=INTL is not set in section QUORTECH of " & root & files(i)
            Exit Function
        End If
    Next
    files = Array("\data\timezone.ini", "\newdata\timezone.ini")
    For i = 0 To UBound(files)
        If fso.FileExists(root & files(i)) Or fso.FolderExists(root & files(i)) Then
            SiteNotDone = root & files(i) & " exists"
            Exit Function
        End If
    Next
End Function

' ---- Outcome of a run ----

Const RefusalLine = "Another run of this patch is in progress on this machine"
Const OutcomeDone = "done"
Const OutcomePending = "site change pending: the registry job is done; the site change needs a run in the user's session (the control server is the manager application)"
Const OutcomeNotYet = "not done: another run of this patch was in progress"

' The lines of the run that report a failure begin so.
Function FailureLines()
    FailureLines = Array( _
        "Quordir is not defined in the system environment variables.", _
        "This patch has not completed", _
        "Debout file could not be removed from", _
        "SetTimeZones() for -", _
        "SetTimeZonesForLocalMachine() -", _
        "Dynamic DST of", _
        "GetTimeZoneInformation failed", _
        "SetTimeZoneInformation failed", _
        "File left alone:", _
        "Timezone.ini could not be removed:", _
        "Pelio.ini- File Not Found:", _
        "Pelio.ini- Unable to update:", _
        "Could not flush", _
        "LoadNTServiceHelperFunctions(): Failed", _
        "StopControlServer() -", _
        "StartControlServer() -", _
        "Control Server Service is not started.", _
        "Could not start Pelio Manager", _
        "Pelio Manager could not be closed")
End Function

' An outcome line: the outcome and the release that gave it.
Function WithRelease(outcome)
    WithRelease = outcome & " [dstpatch " & Release & "]"
End Function

' The options of dstpatch.exe for the parts that are missing: the registry
' job where REGISTRY is missing, the back-office job where SITE is missing
' and the control server is the service.
Function JobsFor(registry, site, serviceSite)
    JobsFor = ""
    If registry Then JobsFor = "/CHANGEREGVALS "
    If site And serviceSite Then JobsFor = JobsFor & "/CHANGEBOHVALS "
    JobsFor = JobsFor & "/S"
End Function

' Runs dstpatch.exe (PROGRAM) with JOBS for the site ROOT, which it gets in
' QUORDIR (on a command line a root such as D:\ would reach it as D:"),
' from the private folder; its console output goes to the file CAPTURE
' there, removed first. Gives its exit status, or -1 when the capture could
' not be removed.
Function RunPatch(program, root, jobs, capture)
    If RemoveFile(PrivateFolder() & "\" & capture) <> "" Then
        RunPatch = -1
        Exit Function
    End If
    ' cmd takes the root from its current folder, %CD%.
    RunPatch = RunIn(root, """" & SystemTool("cmd.exe") & """ /d /v:off /s /c ""set ""QUORDIR=%CD%"" & cd /d """ & _
        PrivateFolder() & """ & """ & program & """ " & jobs & " > """ & capture & """ 2>&1""")
    shell.CurrentDirectory = PrivateFolder()
End Function

' The outcome of a run from its console output and exit status; PENDING
' when the site change is still to be made in the user's session.
Function OutcomeOf(console, status, pending)
    Dim lines, i, j, failures, last
    lines = SplitLines(console)
    For i = 0 To UBound(lines)
        If Left(lines(i), Len(RefusalLine)) = RefusalLine Then
            OutcomeOf = OutcomeNotYet
            Exit Function
        End If
    Next
    failures = FailureLines()
    last = ""
    For i = 0 To UBound(lines)
        For j = 0 To UBound(failures)
            If Left(lines(i), Len(failures(j))) = failures(j) Then
                OutcomeOf = "failed: " & lines(i)
                Exit Function
            End If
        Next
        If Trim(lines(i)) <> "" Then last = lines(i)
    Next
    If last = "Success" And pending Then
        OutcomeOf = OutcomePending
    ElseIf last = "Success" Then
        OutcomeOf = OutcomeDone
    ElseIf last = "" Then
        OutcomeOf = "failed: no console output: dstpatch.exe ended with exit status " & status
    Else
        OutcomeOf = "failed: no Success line: the last line is " & last
    End If
End Function

' OUTCOME checked against the detection rule: a run that says done (or site
' change pending) must have left the machine so.
Function Judged(outcome, root)
    Dim reason
    Judged = outcome
    If outcome <> OutcomeDone And outcome <> OutcomePending Then Exit Function
    reason = RegistryNotDone()
    If reason = "" And outcome = OutcomePending Then
        If SiteNotDone(root) = "" Then Judged = OutcomeDone
        Exit Function
    End If
    If reason = "" Then reason = SiteNotDone(root)
    If reason <> "" Then Judged = "failed: not done after the run: " & reason
End Function

' Writes LINE, from the script WHO, to the journal of this machine.
Sub Journal(who, line)
    WriteText JournalPath(), NowStamp() & " " & who & ": " & line & vbCrLf, True
End Sub

' One entry in the Application event log for the outcome line LINE of WHO:
' an error for a failure or a run that did not happen, a warning for a
' machine not done yet, else success (information when nothing was run).
Sub LogOutcome(who, line)
    Dim kind
    kind = 0
    If Left(line, 7) = "failed:" Or Left(line, 8) = "not run:" Then
        kind = 1
    ElseIf Left(line, 9) = "not done:" Or Left(line, 20) = "site change pending:" Then
        kind = 2
    ElseIf InStr(line, "nothing was run") > 0 Then
        kind = 4
    End If
    On Error Resume Next
    shell.LogEvent kind, who & ": " & line
End Sub

' ---- Write filters ----

' The output of the write filter tool NAME (in the system folder, 64-bit
' where there is one) run with ARGUMENTS; Empty when it is not there.
Function ToolOutput(name, arguments)
    Dim tools, output
    ToolOutput = Empty
    tools = env("SystemRoot") & "\Sysnative"
    If Not fso.FolderExists(tools) Then tools = env("SystemRoot") & "\System32"
    If Not fso.FileExists(tools & "\" & name) Then Exit Function
    output = name & ".txt"
    RunCmdIn PrivateFolder(), """" & tools & "\" & name & """ " & arguments, output
    ToolOutput = ReadText(PrivateFolder() & "\" & output)
    RemoveFile PrivateFolder() & "\" & output
End Function

' What the first line of TEXT that holds LABEL says after it (without regard
' to case): "on" for ON, "off" for OFF, else "unknown".
Function StateAfter(text, label, onWord, offWord)
    Dim lines, i, at
    StateAfter = "unknown"
    lines = SplitLines(text)
    For i = 0 To UBound(lines)
        at = InStr(1, lines(i), label, vbTextCompare)
        If at > 0 Then
            If InStr(at + Len(label), lines(i), onWord, vbTextCompare) > 0 Then
                StateAfter = "on"
            ElseIf InStr(at + Len(label), lines(i), offWord, vbTextCompare) > 0 Then
                StateAfter = "off"
            End If
            Exit Function
        End If
    Next
End Function

' "on", "off" or "unknown" for the Unified Write Filter on DRIVE in this
' session, read through WMI (the same in every language of Windows). A
' machine without its WMI classes and without uwfmgr.exe has none.
Function UnifiedWriteFilter(drive)
    Dim service, filter, volume, enabled
    UnifiedWriteFilter = "unknown"
    enabled = Empty
    On Error Resume Next
    Set service = GetObject("winmgmts:{impersonationLevel=impersonate}!\\.\root\standardcimv2\embedded")
    If Err.Number = 0 Then
        For Each filter In service.ExecQuery("SELECT CurrentEnabled FROM UWF_Filter")
            enabled = filter.CurrentEnabled
        Next
    End If
    If Err.Number <> 0 Or IsEmpty(enabled) Then
        If Not fso.FileExists(SystemTool("uwfmgr.exe")) Then UnifiedWriteFilter = "off"
        Exit Function
    End If
    If Not enabled Then
        UnifiedWriteFilter = "off"
        Exit Function
    End If
    UnifiedWriteFilter = "off"
    For Each volume In service.ExecQuery("SELECT DriveLetter, Protected FROM UWF_Volume WHERE CurrentSession = TRUE")
        If SameText(volume.DriveLetter, drive) And volume.Protected Then UnifiedWriteFilter = "on"
    Next
    If Err.Number <> 0 Then UnifiedWriteFilter = "unknown"
End Function

' Why the patch must not run because of a write filter on the system drive
' ("" when there is none): the Enhanced Write Filter (ewfmgr) and the
' File-Based Write Filter (fbwfmgr), asked with their own tools where they
' are there, and the Unified Write Filter. A filter on throws away at the
' next start what is written; a state that cannot be read counts as on.
Function WriteFilter()
    Dim drive, states, names, output, i
    drive = env("SystemDrive")
    If drive = "" Then drive = "C:"
    states = Array("off", "off", UnifiedWriteFilter(drive))
    names = Array("EWF (ewfmgr.exe)", "FBWF (fbwfmgr.exe)", "UWF (WMI)")
    output = ToolOutput("ewfmgr.exe", drive)
    If Not IsEmpty(output) Then states(0) = StateAfter(output, "State", "ENABLED", "DISABLED")
    output = ToolOutput("fbwfmgr.exe", "/displayconfig")
    If Not IsEmpty(output) Then states(1) = StateAfter(output, "filter state:", "enabled", "disabled")
    WriteFilter = ""
    For i = 0 To 2
        If states(i) = "on" Then
            WriteFilter = "write filter on " & drive & " (changes would be lost at restart): " & names(i)
            Exit Function
        End If
    Next
    For i = 0 To 2
        If states(i) = "unknown" Then
            WriteFilter = "write filter state unknown: " & names(i) & " gave no state that could be read"
            Exit Function
        End If
    Next
End Function

' ---- Folders that only SYSTEM and Administrators may use ----

' The accounts that may write a backup folder (security identifiers):
' SYSTEM, Administrators, TrustedInstaller, and CREATOR OWNER, which stands
' for the owner (itself one of these).
Function TrustedWriters()
    TrustedWriters = Array("S-1-5-18", "S-1-5-32-544", _
        "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", "S-1-3-0")
End Function

' The rights of an access mask that let one change what a folder holds or who
' may: add a file or folder, delete, delete a child, change the permissions
' or the owner, generic write or all.
Const WriteRights = &H500D0046

Function IsOneOf(value, values)
    Dim i
    IsOneOf = False
    For i = 0 To UBound(values)
        If value = values(i) Then IsOneOf = True
    Next
End Function

Function Wmi()
    Set Wmi = GetObject("winmgmts:{impersonationLevel=impersonate}!\\.\root\cimv2")
End Function

Function WmiFileSetting(path)
    Set WmiFileSetting = Wmi().Get("Win32_LogicalFileSecuritySetting.Path='" & _
        Replace(Replace(path, "\", "\\"), "'", "\'") & "'")
End Function

' "" when only trusted accounts may write FOLDER and it belongs to one of
' them, else why not. Read through WMI, by security identifier, so that it
' does not depend on the language of Windows.
Function ForeignWriters(folder)
    Dim setting, status, descriptor, ace, trustee
    ForeignWriters = "who may write it could not be read"
    On Error Resume Next
    Set setting = WmiFileSetting(folder)
    If Err.Number = 0 Then status = setting.GetSecurityDescriptor(descriptor)
    If Err.Number <> 0 Then ForeignWriters = ForeignWriters & " (WMI error " & Hex(Err.Number) & ")"
    If Err.Number <> 0 Or status <> 0 Then Exit Function
    If Not IsOneOf(descriptor.Owner.SIDString, TrustedWriters()) Then
        ForeignWriters = "it belongs to " & descriptor.Owner.Domain & "\" & descriptor.Owner.Name
        Exit Function
    End If
    If IsNull(descriptor.DACL) Then
        ForeignWriters = "it has no access list: everyone may write it"
        Exit Function
    End If
    ForeignWriters = ""
    For Each ace In descriptor.DACL
        ' An allowing entry that applies to the folder itself (not inherit-only).
        Set trustee = ace.Trustee
        If ace.AceType = 0 And (ace.AceFlags And 8) = 0 And (ace.AccessMask And WriteRights) <> 0 Then
            If Not IsOneOf(trustee.SIDString, TrustedWriters()) Then
                ForeignWriters = trustee.Domain & "\" & trustee.Name & " may write it"
                Exit Function
            End If
        End If
    Next
    If Err.Number <> 0 Then ForeignWriters = "who may write it could not be read (WMI error " & Hex(Err.Number) & ")"
End Function

' An entry of an access list that gives the account SID full control of a
' folder and of all it holds.
Function FullControlAce(service, sid)
    Dim trustee, account, ace
    Set account = service.Get("Win32_SID.SID='" & sid & "'")
    Set trustee = service.Get("Win32_Trustee").SpawnInstance_()
    trustee.SID = account.BinaryRepresentation
    Set ace = service.Get("Win32_ACE").SpawnInstance_()
    ace.AccessMask = &H1F01FF
    ace.AceFlags = 3 ' inherited by files and folders
    ace.AceType = 0
    ace.Trustee = trustee
    Set FullControlAce = ace
End Function

' Gives FOLDER an access list of its own, not inherited, that lets only
' SYSTEM and Administrators in (full control, inherited by what it holds),
' named by their security identifiers so that it is the same in every
' language of Windows: with icacls where it is there (Vista, Server 2003 SP2
' and later), else through WMI (XP). "" when done, else why not.
Function ProtectFolder(folder)
    Dim status, service, descriptor
    If fso.FileExists(SystemTool("icacls.exe")) Then
        status = RunIn(folder, """" & SystemTool("icacls.exe") & _
            """ . /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F")
        shell.CurrentDirectory = PrivateFolder()
        ProtectFolder = ""
        If status <> 0 Then ProtectFolder = "icacls ended with exit status " & status
    Else
        On Error Resume Next
        Set service = Wmi()
        Set descriptor = service.Get("Win32_SecurityDescriptor").SpawnInstance_()
        descriptor.ControlFlags = &H1004 ' the access list is there and not inherited
        descriptor.DACL = Array(FullControlAce(service, "S-1-5-18"), FullControlAce(service, "S-1-5-32-544"))
        status = -1
        status = WmiFileSetting(folder).SetSecurityDescriptor(descriptor)
        ProtectFolder = ""
        If Err.Number <> 0 Then
            ProtectFolder = "WMI error " & Hex(Err.Number)
        ElseIf status <> 0 Then
            ProtectFolder = "SetSecurityDescriptor returned " & status
        End If
    End If
    If ProtectFolder <> "" Then
        ProtectFolder = "could not give " & folder & " an access list for SYSTEM and Administrators only (" & _
            ProtectFolder & ")"
    End If
End Function

' Makes the private folder and gives it its access list; "" when done, else
' why not.
Function MakePrivateFolder()
    MakePrivateFolder = MakeFolder(PrivateFolder())
    If MakePrivateFolder = "" Then MakePrivateFolder = ProtectFolder(PrivateFolder())
    If fso.FolderExists(PrivateFolder()) Then shell.CurrentDirectory = PrivateFolder()
End Function

' ---- Site files that a user may have changed ----

' Files larger than this are never copied (pelio.ini and timezone.ini are
' a few kilobytes).
Const LargestSiteFile = 1048576

' 1 when the folder or file NAME in FOLDER is a reparse point (a link,
' junction or mount point), 0 when it is not, -1 when that cannot be told.
Function ReparseState(folder, name)
    Dim item, attributes
    ReparseState = -1
    On Error Resume Next
    If fso.FolderExists(folder & "\" & name) Then
        Set item = fso.GetFolder(folder & "\" & name)
    Else
        Set item = fso.GetFile(folder & "\" & name)
    End If
    attributes = item.Attributes
    If Err.Number = 0 Then
        ReparseState = 0
        If (attributes And 1024) <> 0 Then ReparseState = 1
        Exit Function
    End If
    On Error GoTo 0
    ' Where the attributes of a folder cannot be read (Wine), fsutil tells.
    Select Case RunIn(folder, """" & SystemTool("fsutil.exe") & """ reparsepoint query " & name)
        Case 0
            ReparseState = 1
        Case 1
            ReparseState = 0
    End Select
    shell.CurrentDirectory = PrivateFolder()
End Function

' The number of names (hard links) of the file NAME in FOLDER; 0 when it
' cannot be told (fsutil hardlink list: Vista, Server 2008 and later).
Function LinkCount(folder, name)
    Dim lines, i
    LinkCount = 0
    If RunCmdIn(folder, """" & SystemTool("fsutil.exe") & """ hardlink list " & name, "links.txt") = 0 Then
        lines = SplitLines(ReadText(PrivateFolder() & "\links.txt"))
        For i = 0 To UBound(lines)
            If Left(lines(i), 1) = "\" Then
                LinkCount = LinkCount + 1
            ElseIf Trim(lines(i)) <> "" Then
                LinkCount = 0
                Exit For
            End If
        Next
    End If
    RemoveFile PrivateFolder() & "\links.txt"
    shell.CurrentDirectory = PrivateFolder()
End Function

' What keeps the scripts from reading or writing the site's file RELATIVE
' (a folder of the root and a file name, such as data\pelio.ini) as SYSTEM
' or an administrator: "absent" when it does not exist, else why it is left
' alone ("" when it is a plain file of one name under real folders, and not
' too large). In LINKS the number of its names (0: not known).
Function SiteFileProblem(root, relative, links)
    Dim folder, name, state
    links = 0
    folder = root & "\" & fso.GetParentFolderName(relative)
    name = fso.GetFileName(relative)
    SiteFileProblem = "absent"
    If Not fso.FolderExists(folder) Then Exit Function
    state = ReparseState(root, fso.GetParentFolderName(relative))
    If state <> 0 Then
        SiteFileProblem = folder & " is a link or mount point"
        If state < 0 Then SiteFileProblem = "could not tell whether " & folder & " is a link or mount point"
        Exit Function
    End If
    If fso.FolderExists(folder & "\" & name) Then
        SiteFileProblem = root & "\" & relative & " is a folder"
        Exit Function
    End If
    If Not fso.FileExists(folder & "\" & name) Then Exit Function
    state = ReparseState(folder, name)
    If state <> 0 Then
        SiteFileProblem = root & "\" & relative & " is a link"
        If state < 0 Then SiteFileProblem = "could not tell whether " & root & "\" & relative & " is a link"
        Exit Function
    End If
    SiteFileProblem = ""
    links = LinkCount(folder, name)
    If links > 1 Then
        SiteFileProblem = root & "\" & relative & " has " & links & " names (hard links)"
    ElseIf fso.GetFile(folder & "\" & name).Size > LargestSiteFile Then
        SiteFileProblem = root & "\" & relative & " is larger than " & LargestSiteFile & " bytes"
    End If
End Function

' ---- Backups ----

' How backup.txt marks a saved file whose names could not be counted; the
' undo does not copy such a file back by itself.
Const LinksNotCounted = " (its names could not be counted on this Windows)"

' Makes the folder of this run in BASE\<computer> (BASE\<computer>\<date>-<time>,
' with a number after it where one of that name exists); "" when done,
' else why not. RUN is its path.
Function MakeRunFolder(base, run)
    Dim machine, name, n
    machine = base & "\" & ComputerName()
    run = ""
    MakeRunFolder = MakeFolder(machine)
    If MakeRunFolder <> "" Then Exit Function
    name = Stamp(Now, "", "-", "")
    run = machine & "\" & name
    n = 1
    Do While fso.FolderExists(run)
        n = n + 1
        run = machine & "\" & name & "-" & n
    Loop
    MakeRunFolder = MakeFolder(run)
    If MakeRunFolder <> "" Then run = ""
End Function

Function ComputerName()
    ComputerName = Trim(env("COMPUTERNAME"))
    If ComputerName = "" Then ComputerName = "UNKNOWN"
End Function

' Saves into the run folder RUN what the patch changes at ROOT: the seven
' zone keys and the active zone (reg export), both pelio.ini and any
' timezone.ini that is a plain file of one name (others are left out, and
' backup.txt says why). Then records RUN, as complete, at the end of
' backups.txt in the machine's folder: the undo takes the first one listed.
' "" when done, else what failed.
Function Backup(root, run)
    Dim records, i, key, status, files, listing, problem, links
    listing = "dstpatch backup of " & ComputerName() & ", " & NowStamp() & ", release " & Release & vbCrLf & _
        "Site root: " & ShownRoot(root) & vbCrLf
    records = ZoneRecords()
    For i = 0 To UBound(records) Step 2
        key = ZonesKey & records(i) & " Standard Time"
        status = RunIn(run, """" & SystemTool("reg.exe") & """ export """ & key & """ """ & records(i) & " Standard Time.reg""")
        If status = 0 Then
            listing = listing & "saved    " & records(i) & " Standard Time.reg" & vbCrLf
        ElseIf RunIn(run, """" & SystemTool("reg.exe") & """ query """ & key & """") <> 0 Then
            listing = listing & "absent   " & key & " (the patch does not make it)" & vbCrLf
        Else
            Backup = "reg export of " & key & " ended with exit status " & status
            Exit Function
        End If
    Next
    ' The active zone, whose dates the patch applies anew.
    status = RunIn(run, """" & SystemTool("reg.exe") & """ export """ & ActiveZoneKey & """ TimeZoneInformation.reg")
    If status <> 0 Then
        Backup = "reg export of " & ActiveZoneKey & " ended with exit status " & status
        Exit Function
    End If
    listing = listing & "saved    TimeZoneInformation.reg" & vbCrLf
    files = Array("data\pelio.ini", "newdata\pelio.ini", "data\timezone.ini", "newdata\timezone.ini")
    For i = 0 To UBound(files)
        problem = SiteFileProblem(root, files(i), links)
        If problem = "absent" Then
            listing = listing & "absent   " & root & "\" & files(i) & vbCrLf
        ElseIf problem <> "" Then
            listing = listing & "left out " & problem & vbCrLf
        Else
            problem = MakeFolder(fso.GetParentFolderName(run & "\" & files(i)))
            If problem = "" Then problem = CopyFile(root & "\" & files(i), run & "\" & files(i))
            If problem = "" And Not fso.FileExists(run & "\" & files(i)) Then problem = "no copy of " & files(i)
            If problem <> "" Then
                Backup = problem
                Exit Function
            End If
            listing = listing & "saved    " & files(i)
            If links = 0 Then listing = listing & LinksNotCounted
            listing = listing & vbCrLf
        End If
    Next
    shell.CurrentDirectory = PrivateFolder()
    Backup = WriteText(run & "\backup.txt", listing, False)
    If Backup = "" Then Backup = WriteText(fso.GetParentFolderName(run) & "\backups.txt", fso.GetFileName(run) & vbCrLf, True)
End Function
