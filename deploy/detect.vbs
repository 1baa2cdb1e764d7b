' dstpatch detection rule for Windows Script Host: the rule of detect.ps1 for
' machines without PowerShell (Windows XP SP2 and later, nothing installed).
' Prints "Detected" when this machine is done: the TZI value of each of the
' seven US/Canada zones holds the record that dstpatch.exe writes,
' TIMEZONE=INTL is set in section QUORTECH of <root>\data\pelio.ini and
' <root>\newdata\pelio.ini, and neither <root>\data\timezone.ini nor
' <root>\newdata\timezone.ini exists. Prints nothing when the machine is
' still to do. Always exits 0.
'
'   cscript //nologo detect.vbs [registry] [status] [SITEROOT]
'   cscript //nologo detect.vbs writefilter
'
'   registry     only the time-zone records count (machines whose site
'                change is made in the user's session)
'   status       says why a machine is not done, and tells the answer by the
'                exit status: 10 done, 11 not done (for dstpatch-startup.vbs
'                and dstpatch-install.vbs)
'   SITEROOT     the site root (else as below)
'   writefilter  prints "write filter on C: ..." and exits 12 when a write
'                filter (EWF, FBWF, UWF) throws away at the next start what
'                is written to the system drive, else exits 13
Option Explicit

' The site root, unless given as an argument; when empty, the QUORDIR
' environment variable of this process is used, else the machine's QUORDIR as the registry holds it (a
' distribution agent or service started before QUORDIR was set does not see
' it in its environment).
Const SiteRoot = ""
Const MachineEnvironment = "HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment\"

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

Const StatusDone = 10
Const StatusNotDone = 11
Const StatusWriteFilter = 12
Const StatusNoWriteFilter = 13

' A blank as .NET's String.Trim sees it in text read in the ANSI code page:
' tab to carriage return, space and no-break space.
Function IsBlank(character)
    Dim code
    code = Asc(character)
    IsBlank = (code >= 9 And code <= 13) Or code = 32 Or code = 160
End Function

Function TrimBlanks(text)
    Dim first, last
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

' A Unicode character of a decoded file as this script compares it: ASCII as
' it is, a blank of .NET's String.Trim (next line, no-break space, the
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

' The lines of the file at PATH as .NET's File.ReadAllLines gives them with
' the ANSI code page (a byte order mark picks UTF-8 or UTF-16 instead), in
' LINES. False when the file does not exist or cannot be read.
Function ReadLines(path, lines)
    Dim fso, stream, text
    ReadLines = False
    Set fso = CreateObject("Scripting.FileSystemObject")
    On Error Resume Next
    If Not fso.FileExists(path) Then Exit Function
    Set stream = fso.OpenTextFile(path, 1)
    If Err.Number <> 0 Then Exit Function
    text = ""
    If Not stream.AtEndOfStream Then text = stream.ReadAll
    If Err.Number <> 0 Then Exit Function
    stream.Close
    On Error GoTo 0
    If Left(text, 3) = Chr(239) & Chr(187) & Chr(191) Then
        text = FromUtf8(text, 4)
    ElseIf Left(text, 2) = Chr(255) & Chr(254) Then
        text = FromUtf16(text, 3, 1)
    ElseIf Left(text, 2) = Chr(254) & Chr(255) Then
        text = FromUtf16(text, 3, 2)
    End If
    text = Replace(Replace(text, vbCrLf, vbLf), vbCr, vbLf)
    lines = Split(text, vbLf)
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
    data = CreateObject("WScript.Shell").RegRead(ZonesKey & name & " Standard Time\TZI")
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

' The site root as the patch gets it from the machine: the argument, else
' SiteRoot, QUORDIR of this process, else of the machine (in the registry,
' expanded).
Function SiteRootOf()
    Dim shell
    Set shell = CreateObject("WScript.Shell")
    SiteRootOf = TrimBlanks(rootArgument)
    If SiteRootOf = "" Then SiteRootOf = TrimBlanks(SiteRoot)
    If SiteRootOf = "" Then SiteRootOf = TrimBlanks(shell.Environment("PROCESS")("QUORDIR"))
    If SiteRootOf <> "" Then Exit Function
    On Error Resume Next
    SiteRootOf = shell.RegRead(MachineEnvironment & "QUORDIR")
    If Err.Number <> 0 Or VarType(SiteRootOf) <> vbString Then SiteRootOf = ""
    On Error GoTo 0
    ' Wine's ExpandEnvironmentStrings ends its answer with a NUL.
    If InStr(SiteRootOf, "%") > 0 Then SiteRootOf = Replace(shell.ExpandEnvironmentStrings(SiteRootOf), Chr(0), "")
    SiteRootOf = TrimBlanks(SiteRootOf)
End Function

' The output of the write filter tool NAME (in the system folder, 64-bit
' where there is one) run with ARGUMENTS; "" when it is not there.
Function ToolOutput(name, arguments)
    Dim shell, fso, tools, folder, output, stream
    ToolOutput = ""
    Set shell = CreateObject("WScript.Shell")
    Set fso = CreateObject("Scripting.FileSystemObject")
    tools = shell.Environment("PROCESS")("SystemRoot") & "\Sysnative"
    If Not fso.FolderExists(tools) Then tools = shell.Environment("PROCESS")("SystemRoot") & "\System32"
    If Not fso.FileExists(tools & "\" & name) Then Exit Function
    ' Its output goes to a folder that ordinary users cannot write.
    folder = shell.Environment("PROCESS")("SystemRoot") & "\dstpatch"
    If Not fso.FolderExists(folder) Then fso.CreateFolder folder
    output = folder & "\" & name & ".txt"
    shell.Run "cmd.exe /d /s /c """"" & tools & "\" & name & """ " & arguments & " > """ & output & """ 2>&1""", 0, True
    On Error Resume Next
    Set stream = fso.OpenTextFile(output, 1)
    If Err.Number = 0 Then
        If Not stream.AtEndOfStream Then ToolOutput = stream.ReadAll
        stream.Close
    End If
    fso.DeleteFile output
End Function

' True when a line of TEXT holds WHAT and, after it, STATE (without regard to
' case); only the first line that holds WHAT counts (the current session's).
Function SaysState(text, what, state)
    Dim lines, i, at
    SaysState = False
    lines = Split(Replace(text, vbCr, vbLf), vbLf)
    For i = 0 To UBound(lines)
        at = InStr(1, lines(i), what, vbTextCompare)
        If at > 0 Then
            SaysState = InStr(at + Len(what), lines(i), state, vbTextCompare) > 0
            Exit Function
        End If
    Next
End Function

' The write filter that protects the system drive in this session, "" when
' there is none: the Enhanced Write Filter (ewfmgr), the File-Based Write
' Filter (fbwfmgr) and the Unified Write Filter (uwfmgr), each asked with its
' own tool where that tool is there.
Function WriteFilter()
    Dim drive
    drive = CreateObject("WScript.Shell").Environment("PROCESS")("SystemDrive")
    If drive = "" Then drive = "C:"
    WriteFilter = ""
    If SaysState(ToolOutput("ewfmgr.exe", drive), "State", "ENABLED") Then WriteFilter = "EWF"
    If SaysState(ToolOutput("fbwfmgr.exe", "/displayconfig"), "filter state:", "enabled") Then WriteFilter = "FBWF"
    If SaysState(ToolOutput("uwfmgr.exe", "get-config"), "Filter state:", "ON") Then WriteFilter = "UWF"
    If WriteFilter <> "" Then WriteFilter = "write filter on " & drive & " (changes would be lost at restart): " & WriteFilter
End Function

' Why this machine is not done, or "" when it is.
Function NotDoneReason(registryOnly)
    Dim root, files, i, records, fso
    NotDoneReason = ""
    records = ZoneRecords()
    For i = 0 To UBound(records) Step 2
        If TziDigits(records(i)) <> records(i + 1) Then
            NotDoneReason = "the TZI value of " & records(i) & " Standard Time is not the record that dstpatch.exe writes"
            Exit Function
        End If
    Next
    If registryOnly Then Exit Function
    root = SiteRootOf()
    If root = "" Then
        NotDoneReason = "no site root: QUORDIR is not set"
        Exit Function
    End If
    files = Array("\data\pelio.ini", "\newdata\pelio.ini")
    For i = 0 To UBound(files)
        If Not IsIntlSet(root & files(i)) Then
            NotDoneReason = "TIMEZONE=INTL is not set in section QUORTECH of " & root & files(i)
            Exit Function
        End If
    Next
    Set fso = CreateObject("Scripting.FileSystemObject")
    files = Array("\data\timezone.ini", "\newdata\timezone.ini")
    For i = 0 To UBound(files)
        If fso.FileExists(root & files(i)) Or fso.FolderExists(root & files(i)) Then
            NotDoneReason = root & files(i) & " exists"
            Exit Function
        End If
    Next
End Function

Dim registryOnly, status, i, reason, rootArgument
rootArgument = ""
For i = 0 To WScript.Arguments.Count - 1
    Select Case LCase(WScript.Arguments(i))
        Case "registry"
            registryOnly = True
        Case "status"
            status = True
        Case "writefilter"
            reason = WriteFilter()
            If reason = "" Then WScript.Quit StatusNoWriteFilter
            WScript.Echo reason
            WScript.Quit StatusWriteFilter
        Case Else
            rootArgument = WScript.Arguments(i)
    End Select
Next
reason = NotDoneReason(registryOnly = True)
If reason = "" Then
    WScript.Echo "Detected"
    If status Then WScript.Quit StatusDone
ElseIf status Then
    WScript.Echo "Not detected: " & reason
    WScript.Quit StatusNotDone
End If
WScript.Quit 0
