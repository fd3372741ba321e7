
import matplotlib
matplotlib.use('Agg')
import seaborn as sns
import matplotlib.pyplot as plt
import pandas as pd
import os

sns.set_theme()

os.makedirs("/home/user/.velko/charts/call_1_2", exist_ok=True)
os.chdir("/home/user/.velko/charts/call_1_2")


from sqlalchemy import create_engine

_engine = create_engine(os.environ["VELKO_CONNECTION_STRING"])

def query_db(sql: str) -> pd.DataFrame:
    """Execute SQL query and return results as a pandas DataFrame."""
    return pd.read_sql(sql, _engine)


# User code
df = query_db('SELECT region, SUM(amount) AS total FROM sales GROUP BY region')
sns.barplot(data=df, x='region', y='total')
plt.savefig('sales.png')

# Ensure all figures are saved
plt.close("all")
