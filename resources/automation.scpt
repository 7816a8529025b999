Microsoft Outlook
-- The automation script: its handlers run in the application named on the first line.
