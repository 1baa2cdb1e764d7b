# dstpatch detection rule. Prints "Detected" when this machine is done: the
# TZI value of each of the seven US/Canada zones holds the record that
# dstpatch.exe writes, TIMEZONE=INTL is set in section QUORTECH of
# <root>\data\pelio.ini and <root>\newdata\pelio.ini, and neither
# <root>\data\timezone.ini nor <root>\newdata\timezone.ini exists. Prints
# nothing when the machine is still to do. Always exits 0. Runs on Windows
# PowerShell 2.0 and later.

# The site root; when empty, the QUORDIR environment variable of this process
# is used, else the machine's (a distribution agent started before QUORDIR was
# set does not see it in its environment).
$SiteRoot = ''

# The TZI value that dstpatch.exe writes for each zone (its key's name without
# ' Standard Time'), in hexadecimal.
$ZoneRecords = @{
    'Alaskan' = '1C02000000000000C4FFFFFF00000B0000000100020000000000000000000300000002000200000000000000'
    'Pacific' = 'E001000000000000C4FFFFFF00000B0000000100020000000000000000000300000002000200000000000000'
    'Mountain' = 'A401000000000000C4FFFFFF00000B0000000100020000000000000000000300000002000200000000000000'
    'Central' = '6801000000000000C4FFFFFF00000B0000000100020000000000000000000300000002000200000000000000'
    'Eastern' = '2C01000000000000C4FFFFFF00000B0000000100020000000000000000000300000002000200000000000000'
    'Atlantic' = 'F000000000000000C4FFFFFF00000B0000000100020000000000000000000300000002000200000000000000'
    'Newfoundland' = 'D200000000000000C4FFFFFF00000B0000000100020000000000000000000300000002000200000000000000'
}

# True when TIMEZONE in section QUORTECH of the file is INTL, read as Windows
# reads profile files: names and values in any letter case, blanks around
# them ignored, a value in matching quotes unquoted; only the first section
# of that name and the first TIMEZONE entry in it count.
function Test-IntlSet([string]$Path) {
    $ignoreCase = [System.StringComparison]::OrdinalIgnoreCase
    try {
        if (-not [System.IO.File]::Exists($Path)) { return $false }
        $lines = [System.IO.File]::ReadAllLines($Path, [System.Text.Encoding]::Default)
    } catch {
        return $false
    }
    $inSection = $false
    foreach ($line in $lines) {
        $text = $line.Trim()
        $end = $text.LastIndexOf(']')
        if ($text.StartsWith('[') -and $end -gt 0) {
            if ($inSection) { return $false }
            $inSection = [string]::Equals($text.Substring(1, $end - 1).Trim(), 'QUORTECH', $ignoreCase)
            continue
        }
        if (-not $inSection) { continue }
        $equals = $text.IndexOf('=')
        $name = $text
        $value = ''
        if ($equals -ge 0) {
            $name = $text.Substring(0, $equals).Trim()
            $value = $text.Substring($equals + 1).Trim()
        }
        if ([string]::Equals($name, 'TIMEZONE', $ignoreCase)) {
            $last = $value.Length - 1
            if ($last -ge 1 -and ($value[0] -eq '"' -or $value[0] -eq "'") -and $value[$last] -eq $value[0]) {
                $value = $value.Substring(1, $value.Length - 2)
            }
            return [string]::Equals($value, 'INTL', $ignoreCase)
        }
    }
    return $false
}

$root = $SiteRoot
if (-not $root) { $root = [string]$env:QUORDIR }
if (-not $root.Trim()) {
    $root = [Environment]::ExpandEnvironmentVariables(
        [string][Environment]::GetEnvironmentVariable('QUORDIR', 'Machine'))
}
# Without backslashes at its end: D:\ is D:, and D:\data its folder data.
$root = $root.Trim().TrimEnd('\')

$tziDone = $true
foreach ($zone in $ZoneRecords.Keys) {
    $key = 'HKLM:\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Time Zones\' + $zone + ' Standard Time'
    $tzi = (Get-ItemProperty -LiteralPath $key -Name TZI -ErrorAction SilentlyContinue).TZI
    if (-not (($tzi -is [byte[]]) -and
              ([System.BitConverter]::ToString($tzi).Replace('-', '') -eq $ZoneRecords[$zone]))) {
        $tziDone = $false
    }
}

if ($root -and $tziDone -and (Test-IntlSet ($root + '\data\pelio.ini')) -and
    (Test-IntlSet ($root + '\newdata\pelio.ini')) -and
    -not (Test-Path -LiteralPath ($root + '\data\timezone.ini')) -and
    -not (Test-Path -LiteralPath ($root + '\newdata\timezone.ini'))) {
    'Detected'
}
exit 0
