' Runs dstpatch.exe once on a machine at its start, for dstpatch-startup.cmd,
' which gives the settings in the environment (QUORDIR, DSTPATCH_BACKUP,
' DSTPATCH_SHARE). Windows Script Host only: Windows XP SP2 and later, nothing
' installed.
'
' 1. The detection rule (detect.vbs, beside this script) decides whether the
'    machine is done; a machine that is done is left alone, and one whose
'    system drive has a write filter on is not patched.
' 2. The seven zone keys and the active zone (reg export), both pelio.ini and
'    any timezone.ini are saved into a folder of this run:
'    <backup>\<COMPUTERNAME>\<date-time>. Without a complete backup the patch
'    is not run.
' 3. The patch runs from this script's folder (the policy's, which ordinary
'    users cannot change): both jobs where the control server is the
'    service; the registry job alone where it is the manager application,
'    whose site change needs a run in the user's session.
' 4. The outcome, one line, goes to outcome.txt in the run's folder, to the
'    journal %SystemRoot%\dstpatch\dstpatch-startup.log and, with the console
'    output and the run log, to the share when one is set. A share that
'    cannot be written never stops the patch. An outcome that says "failed"
'    is kept on the share, after "(earlier: ", by the outcome that follows it.
'
' It writes "started" to the journal first, so that a start whose script
' dies still shows; an error in this script ends it with the outcome
' "not run: script error ..." (cscript itself may end with status 0 then).
'
' The backups and the journal live where ordinary users can neither create
' nor change anything: by default %SystemRoot%\dstpatch, made by this script;
' a backup folder set in dstpatch-startup.cmd is refused unless only SYSTEM,
' Administrators and TrustedInstaller may write it and it belongs to one of
' them. Site paths reach the programs it starts only as their current folder
' or in the environment, never on a command line, so blanks, % and the like
' in them are taken as they are.
Option Explicit

' The control server is the service when this value exists (the test that
' dstpatch.exe makes).
Const ServiceRegistration = "HKCR\AppID\{6F2B41C8-93D0-4E57-B1A2-5C7D90E3F614}\LocalService"
Const ActiveZoneKey = "HKLM\SYSTEM\CurrentControlSet\Control\TimeZoneInformation"
Const ZonesKey = "HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Time Zones\"
Const RefusalLine = "Another run of this patch is in progress on this machine"
Const DetectDone = 10
Const DetectNotDone = 11
Const DetectWriteFilter = 12

Const OutcomeDone = "done"
Const OutcomeFoundDone = "done: found done at start-up; nothing was run"
Const OutcomeLater = "not done: another run of this patch was in progress; this machine tries again at its next start"
Const EarlierMark = " (earlier: "
Const OutcomePending = "site change pending: the registry job is done; the site change needs a run in the user's session (the control server is the manager application)"

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

Dim shell, fso, env, computer, here, runFolder, journal, privateFolder
Set shell = CreateObject("WScript.Shell")
Set fso = CreateObject("Scripting.FileSystemObject")
Set env = shell.Environment("PROCESS")

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

Function ZoneNames()
    ZoneNames = Array("Alaskan", "Pacific", "Mountain", "Central", "Eastern", "Atlantic", "Newfoundland")
End Function

Function Setting(name)
    Setting = Trim(Replace(env(name), vbTab, " "))
End Function

' PATH without the backslashes at its end, but a drive's root as it is.
Function WithoutTrailingBackslash(path)
    WithoutTrailingBackslash = path
    Do While Len(WithoutTrailingBackslash) > 1 And Right(WithoutTrailingBackslash, 1) = "\"
        If Len(WithoutTrailingBackslash) = 3 And Mid(WithoutTrailingBackslash, 2, 1) = ":" Then Exit Do
        WithoutTrailingBackslash = Left(WithoutTrailingBackslash, Len(WithoutTrailingBackslash) - 1)
    Loop
End Function

Function TwoDigits(number)
    TwoDigits = Right("0" & number, 2)
End Function

Function Stamp(moment, dateSeparator, middle, timeSeparator)
    Stamp = Year(moment) & dateSeparator & TwoDigits(Month(moment)) & dateSeparator & TwoDigits(Day(moment)) & _
        middle & TwoDigits(Hour(moment)) & timeSeparator & TwoDigits(Minute(moment)) & timeSeparator & _
        TwoDigits(Second(moment))
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

' Runs COMMAND in FOLDER, hidden, and gives its exit status.
Function RunIn(folder, command)
    shell.CurrentDirectory = folder
    RunIn = shell.Run(command, 0, True)
End Function

' The answer of detect.vbs (DetectDone or DetectNotDone; anything else: it
' did not run).
Function Detect(mode)
    Detect = shell.Run("cscript.exe //nologo """ & here & "\detect.vbs"" status " & mode, 0, True)
End Function

' The outcome of a run from its console output and exit status.
Function OutcomeOf(console, status, registryOnly)
    Dim lines, i, j, failures, last
    lines = SplitLines(console)
    For i = 0 To UBound(lines)
        If Left(lines(i), Len(RefusalLine)) = RefusalLine Then
            OutcomeOf = OutcomeLater
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
    If last = "Success" And registryOnly Then
        OutcomeOf = OutcomePending
    ElseIf last = "Success" Then
        OutcomeOf = OutcomeDone
    ElseIf last = "" Then
        OutcomeOf = "failed: no console output: dstpatch.exe ended with exit status " & status
    Else
        OutcomeOf = "failed: no Success line: the last line is " & last
    End If
End Function

' Records OUTCOME: in the run's folder (when there is one), in the journal
' and on the share (with the console output and the run log of the run, when
' given), then ends. A record that cannot be written is noted in the others.
Sub Finish(result, console, runLog)
    Dim notes, note, target, outcome
    notes = ""
    outcome = result & EarlierFailure(result)
    If runFolder <> "" Then notes = notes & WriteText(runFolder & "\outcome.txt", outcome & vbCrLf, False)
    target = Setting("DSTPATCH_SHARE")
    If target <> "" Then
        ' The outcome comes last, so that it never stands beside the files of
        ' another run; after a failure the share is not tried again.
        target = WithoutTrailingBackslash(target) & "\" & computer
        note = ""
        If console <> "" Then note = CopyFile(console, target & "-console.txt")
        If runLog <> "" And note = "" Then note = CopyFile(runLog, target & "-debGorvinal.txt")
        If note = "" Then note = WriteText(target & "-outcome.txt", outcome & vbCrLf, False)
        If note <> "" Then notes = notes & "; " & note
    End If
    If Left(notes, 2) = "; " Then notes = Mid(notes, 3)
    note = Stamp(Now, "-", " ", ":") & " " & outcome
    If runFolder <> "" Then note = note & " (" & runFolder & ")"
    If notes <> "" Then note = note & vbCrLf & "  note: " & notes
    WriteText journal, note & vbCrLf, True
    WriteText privateFolder & "\last-outcome.txt", outcome & vbCrLf, False
    If runFolder <> "" And notes <> "" Then WriteText runFolder & "\outcome.txt", "note: " & notes & vbCrLf, True
    WScript.Echo outcome
    If notes <> "" Then WScript.Echo "note: " & notes
    WScript.Quit 0
End Sub

' The share's outcome file of this machine ("" without a share).
Function ShareOutcomeFile()
    ShareOutcomeFile = Setting("DSTPATCH_SHARE")
    If ShareOutcomeFile <> "" Then ShareOutcomeFile = WithoutTrailingBackslash(ShareOutcomeFile) & "\" & computer & "-outcome.txt"
End Function

' What OUTCOME keeps of the share's earlier outcome: a failure there, or the
' one that it kept itself, as " (earlier: failed: ...)"; "" when OUTCOME is a
' failure itself or there is none.
Function EarlierFailure(outcome)
    Dim earlier, at
    EarlierFailure = ""
    If Left(outcome, 7) = "failed:" Or ShareOutcomeFile() = "" Then Exit Function
    If InStr(outcome, EarlierMark) > 0 Then Exit Function
    earlier = SplitLines(ReadText(ShareOutcomeFile()) & vbLf)
    earlier = earlier(0)
    at = InStr(earlier, EarlierMark & "failed:")
    If at > 0 Then
        EarlierFailure = Mid(earlier, at)
    ElseIf Left(earlier, 7) = "failed:" Then
        EarlierFailure = EarlierMark & earlier & ")"
    End If
End Function

' Leaves a machine found in STATE alone: the share gets STATE only when it
' holds another outcome for this machine (a run gives it more detail).
Sub FinishUnchanged(state, sameAs)
    Dim target
    target = ShareOutcomeFile()
    If target <> "" Then
        If Left(ReadText(target), Len(sameAs)) = sameAs Then target = ""
    End If
    If target = "" Then
        WriteText journal, Stamp(Now, "-", " ", ":") & " " & state & vbCrLf, True
        WriteText privateFolder & "\last-outcome.txt", state & vbCrLf, False
        WScript.Echo state
        WScript.Quit 0
    End If
    Finish state, "", ""
End Sub

Function IsOneOf(value, values)
    Dim i
    IsOneOf = False
    For i = 0 To UBound(values)
        If value = values(i) Then IsOneOf = True
    Next
End Function

' "" when only trusted accounts may write FOLDER and it belongs to one of
' them, else why not. Read through WMI, by security identifier, so that it
' does not depend on the language of Windows.
Function ForeignWriters(folder)
    Dim setting, status, descriptor, ace, trustee
    ForeignWriters = "who may write it could not be read"
    On Error Resume Next
    Set setting = GetObject("winmgmts:{impersonationLevel=impersonate}!\\.\root\cimv2").Get( _
        "Win32_LogicalFileSecuritySetting.Path='" & Replace(Replace(folder, "\", "\\"), "'", "\'") & "'")
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

' Saves what the patch changes into the run's folder; "" when all is saved,
' else what failed.
Function Backup(root)
    Dim zones, i, key, status, files, listing, problem
    listing = "dstpatch backup of " & computer & ", " & Stamp(Now, "-", " ", ":") & vbCrLf & _
        "Site root: " & root & vbCrLf
    zones = ZoneNames()
    For i = 0 To UBound(zones)
        key = ZonesKey & zones(i) & " Standard Time"
        status = RunIn(runFolder, "reg export """ & key & """ """ & zones(i) & " Standard Time.reg""")
        If status = 0 Then
            listing = listing & "saved   " & zones(i) & " Standard Time.reg" & vbCrLf
        ElseIf RunIn(runFolder, "reg query """ & key & """") <> 0 Then
            listing = listing & "absent  " & key & " (the patch does not make it)" & vbCrLf
        Else
            Backup = "reg export of " & key & " ended with exit status " & status
            Exit Function
        End If
    Next
    ' The active zone, whose dates the patch applies anew.
    status = RunIn(runFolder, "reg export """ & ActiveZoneKey & """ TimeZoneInformation.reg")
    If status <> 0 Then
        Backup = "reg export of " & ActiveZoneKey & " ended with exit status " & status
        Exit Function
    End If
    listing = listing & "saved   TimeZoneInformation.reg" & vbCrLf
    files = Array("data\pelio.ini", "newdata\pelio.ini", "data\timezone.ini", "newdata\timezone.ini")
    For i = 0 To UBound(files)
        If fso.FileExists(root & "\" & files(i)) Then
            problem = MakeFolder(fso.GetParentFolderName(runFolder & "\" & files(i)))
            If problem = "" Then problem = CopyFile(root & "\" & files(i), runFolder & "\" & files(i))
            If problem = "" And Not fso.FileExists(runFolder & "\" & files(i)) Then problem = "no copy of " & files(i)
            If problem <> "" Then
                Backup = problem
                Exit Function
            End If
            listing = listing & "saved   " & files(i) & vbCrLf
        Else
            listing = listing & "absent  " & root & "\" & files(i) & vbCrLf
        End If
    Next
    Backup = WriteText(runFolder & "\backup.txt", listing, False)
End Function

Sub Main()
    Dim root, serviceMode, answer, base, problem, jobs, status, console, runLog, outcome, n, name
    root = WithoutTrailingBackslash(Setting("QUORDIR"))
    If root = "" Then Finish "not run: no site root: QUORDIR is set neither on this machine nor in dstpatch-startup.cmd", "", ""
    If Not fso.FileExists(root & "\data\pelio.ini") Then
        Finish "not run: no site root: " & root & "\data\pelio.ini does not exist", "", ""
    End If
    On Error Resume Next
    shell.RegRead ServiceRegistration
    serviceMode = (Err.Number = 0)
    On Error GoTo 0

    answer = Detect("")
    If answer = DetectDone Then FinishUnchanged OutcomeFoundDone, OutcomeDone
    If answer <> DetectNotDone Then
        Finish "not run: no detection: detect.vbs (beside this script) ended with exit status " & answer, "", ""
    End If
    If Not serviceMode Then
        If Detect("registry") = DetectDone Then FinishUnchanged OutcomePending, OutcomePending
    End If
    ' What a write filter lets through is thrown away at the next start.
    If Detect("writefilter") = DetectWriteFilter Then
        Finish "not run: write filter on " & env("SystemDrive") & " (changes would be lost at restart)", "", ""
    End If

    If Not fso.FileExists(env("SystemRoot") & "\System32\reg.exe") Then
        Finish "not run: no backup: " & env("SystemRoot") & "\System32\reg.exe does not exist", "", ""
    End If
    base = WithoutTrailingBackslash(Setting("DSTPATCH_BACKUP"))
    If base = "" Then
        base = privateFolder
    ElseIf Mid(base, 2, 2) <> ":\" Then
        Finish "not run: no backup: the backup folder " & base & " is not a full path on a local drive", "", ""
    Else
        problem = MakeFolder(base)
        If problem = "" Then
            problem = ForeignWriters(base)
            If problem <> "" Then problem = "refused the backup folder " & base & ": " & problem
        End If
        If problem <> "" Then Finish "not run: no backup: " & problem, "", ""
    End If
    base = base & "\" & computer
    problem = MakeFolder(base)
    If problem <> "" Then Finish "not run: no backup: " & problem, "", ""
    name = Stamp(Now, "", "-", "")
    runFolder = base & "\" & name
    n = 1
    Do While fso.FolderExists(runFolder)
        n = n + 1
        runFolder = base & "\" & name & "-" & n
    Loop
    problem = MakeFolder(runFolder)
    If problem <> "" Then
        runFolder = ""
        Finish "not run: no backup: " & problem, "", ""
    End If
    problem = Backup(root)
    If problem <> "" Then Finish "not run: no backup: " & problem, "", ""

    If Not fso.FileExists(here & "\dstpatch.exe") Then
        Finish "not run: no program: " & here & "\dstpatch.exe does not exist", "", ""
    End If
    jobs = "/CHANGEREGVALS /CHANGEBOHVALS /S"
    If Not serviceMode Then jobs = "/CHANGEREGVALS /S"
    ' The program runs from the policy's folder (no % in its path, which
    ' Run and cmd would expand); its output goes to the run's folder.
    status = RunIn(runFolder, "cmd.exe /d /s /c """"" & here & "\dstpatch.exe"" " & jobs & " > console.txt 2>&1""")
    console = runFolder & "\console.txt"
    outcome = OutcomeOf(ReadText(console), status, Not serviceMode)
    ' The site change may have been made in the user's session already.
    If outcome = OutcomePending Then
        If Detect("") = DetectDone Then outcome = OutcomeDone
    End If
    runLog = ""
    ' A refused run leaves the run log to the run in progress.
    If outcome <> OutcomeLater And fso.FileExists(root & "\tmp\debGorvinal.txt") Then
        runLog = runFolder & "\debGorvinal.txt"
        If CopyFile(root & "\tmp\debGorvinal.txt", runLog) <> "" Then runLog = ""
    End If
    Finish outcome, console, runLog
End Sub

computer = Setting("COMPUTERNAME")
If computer = "" Then computer = "UNKNOWN"
here = fso.GetParentFolderName(WScript.ScriptFullName)
privateFolder = env("SystemRoot") & "\dstpatch"
journal = privateFolder & "\dstpatch-startup.log"
runFolder = ""
MakeFolder privateFolder
WriteText journal, Stamp(Now, "-", " ", ":") & " started" & vbCrLf, True

On Error Resume Next
Main
If Err.Number <> 0 Then
    Dim scriptError
    scriptError = "not run: script error " & Err.Number
    If Err.Description <> "" Then scriptError = scriptError & ": " & Err.Description
    Err.Clear
    Finish scriptError, "", ""
End If
